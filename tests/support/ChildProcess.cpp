#include "tests/integration/defaults/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

extern char** environ;

namespace qv::test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& overrides) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string item = *entry;
    std::string name = item.substr(0, item.find('='));
    bool overridden = false;
    for (const std::string& override : overrides) {
      if (override.compare(0, name.size() + 1, name + "=") == 0) overridden = true;
    }
    if (!overridden) result.push_back(item);
  }
  result.insert(result.end(), overrides.begin(), overrides.end());
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  result.reserve(strings.size() + 1);
  for (std::string& text : strings) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

std::optional<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv,
                                                const std::vector<std::string>& environment) {
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return std::nullopt;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return std::nullopt;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::vector<std::string> args = argv;
  std::vector<std::string> env = mergedEnvironment(environment);
  std::vector<char*> argPointers = pointers(args);
  std::vector<char*> envPointers = pointers(env);
  pid_t pid = -1;
  int rc =
      posix_spawn(&pid, argPointers[0], &actions, nullptr, argPointers.data(), envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  if (rc != 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    return std::nullopt;
  }
  return ChildProcess(pid, outPipe[0], errPipe[0]);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      outFd_(std::exchange(other.outFd_, -1)),
      errFd_(std::exchange(other.errFd_, -1)),
      out_(std::move(other.out_)),
      err_(std::move(other.err_)) {}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (outFd_ >= 0) close(outFd_);
  if (errFd_ >= 0) close(errFd_);
}

bool ChildProcess::pump(std::chrono::milliseconds timeout) {
  std::array<pollfd, 2> fds{{{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}}};
  if (outFd_ < 0 && errFd_ < 0) return false;
  int ready = poll(fds.data(), fds.size(), static_cast<int>(timeout.count()));
  if (ready <= 0) return true;
  std::array<std::pair<int*, std::string*>, 2> streams{{{&outFd_, &out_}, {&errFd_, &err_}}};
  for (std::size_t i = 0; i < streams.size(); ++i) {
    if (fds[i].revents == 0) continue;
    std::array<char, 4096> buffer{};
    ssize_t size = read(*streams[i].first, buffer.data(), buffer.size());
    if (size > 0) {
      streams[i].second->append(buffer.data(), static_cast<std::size_t>(size));
    } else if (size == 0 || errno != EINTR) {
      close(*streams[i].first);
      *streams[i].first = -1;
    }
  }
  return true;
}

bool ChildProcess::waitForOutput(const std::function<bool(const std::string&)>& done,
                                 std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done(out_)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !pump(left)) return done(out_);
  }
  return true;
}

void ChildProcess::signal(int signal) const {
  if (pid_ > 0) kill(pid_, signal);
}

CommandResult ChildProcess::finish(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  bool killed = false;
  int status = 0;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 && !killed) {
      kill(pid_, SIGKILL);
      killed = true;
    }
    const auto slice =
        std::clamp(left, std::chrono::milliseconds(1), std::chrono::milliseconds(50));
    if (pump(slice)) continue;
    // Both pipes are closed; the child may still be running.
    pid_t reaped = waitpid(pid_, &status, killed ? 0 : WNOHANG);
    if (reaped < 0) status = -1;
    if (reaped != 0) break;
    if (!killed) std::this_thread::sleep_for(slice);
  }
  CommandResult result;
  if (status >= 0 && WIFEXITED(status) && !killed) result.exitCode = WEXITSTATUS(status);
  pid_ = -1;
  result.out = std::move(out_);
  result.err = std::move(err_);
  return result;
}

CommandResult runCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment,
                         std::chrono::milliseconds timeout) {
  std::optional<ChildProcess> child = ChildProcess::start(argv, environment);
  if (!child) return {};
  return child->finish(timeout);
}

}  // namespace qv::test
