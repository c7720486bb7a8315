#include "tests/integration/companion/CompanionHarness.h"

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "ipc/Connection.h"

extern char** environ;

#if defined(__SANITIZE_THREAD__) && defined(QV_TSAN_SUPPRESSIONS)
// The toolkit's own threads are not instrumented; see tsan.supp.
extern "C" const char* __tsan_default_options() {
  return "suppressions=" QV_TSAN_SUPPRESSIONS;
}
#endif

namespace qv::test {

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Wakes for due sources; the short nap keeps a busy loop off the CPU otherwise.
    if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(2ms);
  }
  return true;
}

FakeControlSocket::FakeControlSocket(std::string path) : path_(std::move(path)) {
  std::filesystem::path folder = std::filesystem::path(path_).parent_path();
  std::filesystem::create_directories(folder);
  ::chmod(folder.c_str(), 0700);
  ::unlink(path_.c_str());

  sockaddr_un address{};
  if (path_.size() >= sizeof address.sun_path) return;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 16) != 0 || ::pipe2(wakeFd_, O_CLOEXEC) != 0) {
    ::close(fd);
    return;
  }
  listenFd_ = fd;
  acceptor_ = std::thread([this] { acceptLoop(); });
}

FakeControlSocket::~FakeControlSocket() {
  if (acceptor_.joinable()) {
    char byte = 0;
    [[maybe_unused]] ssize_t ignored = ::write(wakeFd_[1], &byte, 1);
    acceptor_.join();
  }
  std::vector<std::shared_ptr<ipc::Connection>> connections;
  {
    std::lock_guard lock(mutex_);
    connections.swap(connections_);
  }
  for (auto& connection : connections) connection->close();
  if (listenFd_ >= 0) ::close(listenFd_);
  for (int fd : wakeFd_) {
    if (fd >= 0) ::close(fd);
  }
  ::unlink(path_.c_str());
}

void FakeControlSocket::acceptLoop() {
  while (true) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    ipc::Connection::Handlers handlers;
    handlers.onCall = [this](const std::string& method, const Json& args,
                             ipc::Responder responder) {
      Call call{method, args};
      Answer reply = answer(call);
      {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
      }
      changed_.notify_all();
      if (reply.silent) return;
      if (reply.error) return responder.fail(*reply.error);
      responder.reply(reply.result.value_or(Json::object()));
    };
    auto connection = ipc::Connection::start(client, std::move(handlers));
    std::lock_guard lock(mutex_);
    connections_.push_back(std::move(connection));
  }
}

FakeControlSocket::Answer FakeControlSocket::answer(const Call& call) {
  Script script;
  bool enabled = false;
  {
    std::lock_guard lock(mutex_);
    script = script_;
    enabled = enabled_;
  }
  if (script) return script(call);
  if (call.method == "extensions.getState") return Answer::with(Json{{"isEnabled", enabled}});
  return Answer::with(Json::object());
}

void FakeControlSocket::setScript(Script script) {
  std::lock_guard lock(mutex_);
  script_ = std::move(script);
}

void FakeControlSocket::setEnabled(bool enabled) {
  std::lock_guard lock(mutex_);
  enabled_ = enabled;
}

std::vector<FakeControlSocket::Call> FakeControlSocket::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<FakeControlSocket::Call> FakeControlSocket::callsOf(const std::string& method) const {
  std::vector<Call> found;
  for (const Call& call : calls()) {
    if (call.method == method) found.push_back(call);
  }
  return found;
}

std::optional<FakeControlSocket::Call> FakeControlSocket::waitForCall(
    const std::string& method, const std::function<bool(const Call&)>& match,
    std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  std::optional<Call> found;
  changed_.wait_for(lock, timeout, [&] {
    for (const Call& call : calls_) {
      if (call.method == method && (!match || match(call))) {
        found = call;
        return true;
      }
    }
    return false;
  });
  return found;
}

PrivateSessionBus::PrivateSessionBus() {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  const char* argv[] = {"dbus-daemon", "--session", "--nofork", "--print-address", nullptr};
  if (posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, const_cast<char**>(argv), environ) !=
      0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  // The daemon prints its address on one line once it listens.
  std::string line;
  pollfd fd{out[0], POLLIN, 0};
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (pid_ > 0 && line.find('\n') == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    if (::poll(&fd, 1, 100) <= 0) continue;
    char chunk[256];
    ssize_t count = ::read(out[0], chunk, sizeof chunk);
    if (count <= 0) break;
    line.append(chunk, static_cast<std::size_t>(count));
  }
  ::close(out[0]);
  if (auto end = line.find('\n'); end != std::string::npos) address_ = line.substr(0, end);
}

PrivateSessionBus::~PrivateSessionBus() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

SpawnedProcess::SpawnedProcess(const std::vector<std::string>& argv) {
#if defined(__SANITIZE_THREAD__) && defined(QV_TSAN_SUPPRESSIONS)
  ::setenv("TSAN_OPTIONS", "suppressions=" QV_TSAN_SUPPRESSIONS, 0);
#endif
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  if (posix_spawn(&pid_, args[0], nullptr, nullptr, args.data(), environ) != 0) pid_ = -1;
}

SpawnedProcess::~SpawnedProcess() {
  if (pid_ <= 0 || reaped_) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

bool SpawnedProcess::running() {
  if (pid_ <= 0 || reaped_) return false;
  int status = 0;
  pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done != pid_) return true;
  reaped_ = true;
  if (WIFEXITED(status)) status_ = WEXITSTATUS(status);
  return false;
}

std::optional<int> SpawnedProcess::waitForExit(std::chrono::milliseconds timeout) {
  waitUntil([this] { return !running(); }, timeout);
  return status_;
}

}  // namespace qv::test
