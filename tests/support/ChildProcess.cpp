#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>

#include "tests/support/SanitizerOptions.h"
#include "tests/support/Wait.h"

extern char** environ;

namespace qv::test {
namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds until(Clock::time_point deadline) {
  return std::max(std::chrono::milliseconds(0),
                  std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
}

std::string nameOf(const std::string& entry) {
  return entry.substr(0, entry.find('='));
}

// Ours with `entries` laid over it, each sanitizer's test settings first in its variable
// (so that what the variable already said wins).
std::vector<std::string> childEnvironment(const std::vector<std::string>& entries) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string name = nameOf(*entry);
    bool replaced = std::any_of(entries.begin(), entries.end(),
                                [&](const std::string& own) { return nameOf(own) == name; });
    if (!replaced) result.emplace_back(*entry);
  }
  result.insert(result.end(), entries.begin(), entries.end());
  for (const SanitizerOption& option : sanitizerOptions) {
    std::string prefix = std::string(option.variable) + "=";
    auto entry = std::find_if(result.begin(), result.end(), [&](const std::string& text) {
      return text.rfind(prefix, 0) == 0;
    });
    if (entry == result.end()) {
      result.push_back(prefix + option.value);
    } else {
      *entry = prefix + option.value + ":" + entry->substr(prefix.size());
    }
  }
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  result.reserve(strings.size() + 1);
  for (std::string& text : strings) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

std::optional<Pipe> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// posix_spawn's file actions, destroyed with the object.
class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

std::optional<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv,
                                                const SpawnOptions& options, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<ChildProcess> {
    if (error) *error = why;
    return std::nullopt;
  };
  if (argv.empty()) return fail("no program");
  std::optional<Pipe> out;
  std::optional<Pipe> err;
  if (options.captureStdout && !(out = makePipe())) return fail(std::strerror(errno));
  if (options.captureStderr && !(err = makePipe())) return fail(std::strerror(errno));

  FileActions actions;
  posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (out) posix_spawn_file_actions_adddup2(actions.get(), out->write.get(), STDOUT_FILENO);
  if (err) posix_spawn_file_actions_adddup2(actions.get(), err->write.get(), STDERR_FILENO);
  // dup2 onto the child's number clears close-on-exec, except when the descriptor has that
  // number already; copies above every target number avoid that, and one copy can never be
  // overwritten by another's dup2.
  int lowest = STDERR_FILENO + 1;
  for (const InheritedFd& inherited : options.fds) lowest = std::max(lowest, inherited.childFd + 1);
  std::vector<UniqueFd> copies;
  for (const InheritedFd& inherited : options.fds) {
    UniqueFd copy(::fcntl(inherited.fd, F_DUPFD_CLOEXEC, lowest));
    if (!copy) return fail(std::string("fcntl: ") + std::strerror(errno));
    posix_spawn_file_actions_adddup2(actions.get(), copy.get(), inherited.childFd);
    copies.push_back(std::move(copy));
  }

  std::vector<std::string> arguments = argv;
  std::vector<std::string> environment = childEnvironment(options.environment);
  std::vector<char*> argPointers = pointers(arguments);
  std::vector<char*> envPointers = pointers(environment);
  pid_t pid = -1;
  int result = posix_spawnp(&pid, argPointers[0], actions.get(), nullptr, argPointers.data(),
                            envPointers.data());
  if (result != 0) return fail("posix_spawn " + argv[0] + ": " + std::strerror(result));
  return ChildProcess(pid, out ? std::move(out->read) : UniqueFd(),
                      err ? std::move(err->read) : UniqueFd());
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      outFd_(std::move(other.outFd_)),
      errFd_(std::move(other.errFd_)),
      out_(std::move(other.out_)),
      err_(std::move(other.err_)),
      status_(std::exchange(other.status_, std::nullopt)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    killAndReap();
    pid_ = std::exchange(other.pid_, -1);
    outFd_ = std::move(other.outFd_);
    errFd_ = std::move(other.errFd_);
    out_ = std::move(other.out_);
    err_ = std::move(other.err_);
    status_ = std::exchange(other.status_, std::nullopt);
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  killAndReap();
}

void ChildProcess::killAndReap() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    reap(true);
  }
}

bool ChildProcess::reap(bool block) {
  if (status_) return true;
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t done = 0;
  do {
    done = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (done < 0 && errno == EINTR);
  if (done == pid_) {
    status_ = status;
  } else if (done < 0) {
    status_ = -1;  // reaped by someone else: gone, how is unknown
  }
  return status_.has_value();
}

bool ChildProcess::running() {
  return pid_ > 0 && !reap(false);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  waitUntil([this] { return reap(false); }, timeout);
  return status_;
}

void ChildProcess::signal(int signal) const {
  if (pid_ > 0 && !status_) ::kill(pid_, signal);
}

std::optional<long> ChildProcess::residentKib() const {
  if (pid_ <= 0 || status_) return std::nullopt;
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return std::nullopt;
}

bool ChildProcess::pump(std::chrono::milliseconds timeout) {
  if (!outFd_ && !errFd_) return false;
  std::array<pollfd, 2> fds{{{outFd_.get(), POLLIN, 0}, {errFd_.get(), POLLIN, 0}}};
  int ready = ::poll(fds.data(), fds.size(), static_cast<int>(timeout.count()));
  if (ready <= 0) return true;
  std::array<std::pair<UniqueFd*, std::string*>, 2> streams{{{&outFd_, &out_}, {&errFd_, &err_}}};
  for (std::size_t i = 0; i < streams.size(); ++i) {
    if (fds[i].revents == 0) continue;
    std::array<char, 4096> buffer{};
    ssize_t size = ::read(streams[i].first->get(), buffer.data(), buffer.size());
    if (size > 0) {
      streams[i].second->append(buffer.data(), static_cast<std::size_t>(size));
    } else if (size == 0 || errno != EINTR) {
      streams[i].first->reset();
    }
  }
  return true;
}

bool ChildProcess::waitForOutput(const std::function<bool(const std::string&)>& done,
                                 std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done(out_)) {
    std::chrono::milliseconds left = until(deadline);
    if (left.count() <= 0 || !pump(left)) return done(out_);
  }
  return true;
}

CommandResult ChildProcess::finish(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (until(deadline).count() > 0 && pump(until(deadline))) {
  }
  bool killed = false;
  if (!waitForExit(until(deadline))) {
    killed = true;
    killAndReap();
  }
  // Whatever is left in the pipes, without waiting for a grandchild that holds them.
  while ((outFd_ || errFd_) && pump(std::chrono::milliseconds(0))) {
    pollfd fds[2] = {{outFd_.get(), POLLIN, 0}, {errFd_.get(), POLLIN, 0}};
    if (::poll(fds, 2, 0) <= 0) break;
  }
  outFd_.reset();
  errFd_.reset();
  CommandResult result;
  if (!killed && status_ && *status_ >= 0 && WIFEXITED(*status_)) {
    result.exitCode = WEXITSTATUS(*status_);
  }
  result.out = std::move(out_);
  result.err = std::move(err_);
  return result;
}

std::optional<int> exitCode(const std::optional<int>& waitStatus) {
  if (!waitStatus || *waitStatus < 0 || !WIFEXITED(*waitStatus)) return std::nullopt;
  return WEXITSTATUS(*waitStatus);
}

CommandResult runCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment,
                         std::chrono::milliseconds timeout) {
  std::optional<ChildProcess> child = ChildProcess::start(
      argv, {.environment = environment, .captureStdout = true, .captureStderr = true});
  if (!child) return {};
  return child->finish(timeout);
}

}  // namespace qv::test
