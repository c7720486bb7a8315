#include "tests/integration/extension/ExtensionHarness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace qv::test {
namespace {

bool writeFile(const std::filesystem::path& path, const std::string& contents) {
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  std::ofstream out(path, std::ios::binary);
  out << contents;
  return static_cast<bool>(out.flush());
}

std::string infoPlist(const ExtensionBundleContents& contents) {
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleName</key><string>Quorvane</string>
	<key>CFBundleIdentifier</key><string>com.quorvane.safari.ext</string>
	<key>CFBundleExecutable</key><string>Quorvane_Safari_Extension</string>
	<key>CFBundleShortVersionString</key><string>1.0.0</string>
	<key>QVDeployment</key>
	<dict>
		<key>WebOrigin</key><string>https://www.)" +
         contents.bareDomain + R"(</string>
		<key>BareDomain</key><string>)" +
         contents.bareDomain + R"(</string>
		<key>AuthHost</key><string>auth.)" +
         contents.bareDomain + R"(</string>
		<key>AnalyticsHost</key><string>vorn.)" +
         contents.bareDomain + R"(</string>
		<key>LogHost</key><string>)" +
         contents.logHost + R"(</string>
	</dict>
</dict>
</plist>
)";
}

// Ours, plus (in ThreadSanitizer builds) the suppressions for the uninstrumented
// third-party libraries the extension loads, unless the caller chose some.
std::vector<std::string> childEnvironment() {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
#if defined(__SANITIZE_THREAD__) && defined(QV_TSAN_SUPPRESSIONS)
  const char* options = std::getenv("TSAN_OPTIONS");
  if (options == nullptr || std::strstr(options, "suppressions=") == nullptr) {
    std::erase_if(environment,
                  [](const std::string& entry) { return entry.rfind("TSAN_OPTIONS=", 0) == 0; });
    environment.push_back(std::string("TSAN_OPTIONS=") + (options ? options : "") +
                          " suppressions=" QV_TSAN_SUPPRESSIONS);
  }
#endif
  return environment;
}

}  // namespace

std::string writeExtensionBundle(const std::string& directory,
                                 const ExtensionBundleContents& contents,
                                 const std::optional<std::string>& executable) {
  std::filesystem::path bundle = std::filesystem::path(directory) / "Test.appex";
  std::filesystem::path resources = bundle / "Contents" / "Resources";
  bool ok = writeFile(bundle / "Contents" / "Info.plist", infoPlist(contents)) &&
            writeFile(resources / "clientInfo.json",
                      R"({"clientType":"safari-extension","clientVersion":"1.0.0",)"
                      R"("vornClientType":"safari_extension"})") &&
            writeFile(resources / "Quorvane-bg.js", contents.backgroundScript) &&
            writeFile(resources / "bg_index.html", contents.backgroundTemplate) &&
            writeFile(resources / "Quorvane-popup.js", contents.popupScript) &&
            writeFile(resources / "Quorvane-popup.styles.css", contents.popupStyleSheet);
  if (!ok) return "";
  if (executable) {
    std::filesystem::path target = bundle / "Contents" / "MacOS" / "Quorvane_Safari_Extension";
    std::error_code error;
    std::filesystem::create_directories(target.parent_path(), error);
    std::filesystem::copy_file(*executable, target,
                               std::filesystem::copy_options::overwrite_existing, error);
    if (error) return "";
  }
  return bundle.string();
}

std::unique_ptr<ExtensionProcess> ExtensionProcess::spawn(
    const std::string& executable, std::string* error,
    const std::optional<std::vector<std::string>>& arguments) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    if (error) *error = std::string("socketpair: ") + std::strerror(errno);
    return nullptr;
  }
  // dup2 onto the child's number clears close-on-exec, unless it is that number already.
  int childEnd = fcntl(fds[1], F_DUPFD_CLOEXEC, childFd + 1);
  ::close(fds[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, childEnd, childFd);
  std::vector<std::string> words =
      arguments.value_or(std::vector<std::string>{"--ipc-fd=" + std::to_string(childFd)});
  std::vector<char*> argv{const_cast<char*>(executable.c_str())};
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment = childEnvironment();
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  int result = posix_spawn(&pid, executable.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(childEnd);
  if (result != 0) {
    ::close(fds[0]);
    if (error) *error = std::string("posix_spawn: ") + std::strerror(result);
    return nullptr;
  }
  return std::unique_ptr<ExtensionProcess>(new ExtensionProcess(pid, fds[0]));
}

ExtensionProcess::~ExtensionProcess() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  if (hostFd_ >= 0) ::close(hostFd_);
}

int ExtensionProcess::releaseHostFd() {
  int fd = hostFd_;
  hostFd_ = -1;
  return fd;
}

std::optional<int> ExtensionProcess::waitForExit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  // A pidfd becomes readable when the process exits.
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  if (pidfd >= 0) {
    pollfd entry{pidfd, POLLIN, 0};
    int ready = 0;
    do {
      ready = poll(&entry, 1, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    ::close(pidfd);
    if (ready <= 0) return std::nullopt;
  }
  int status = 0;
  if (waitpid(pid_, &status, pidfd >= 0 ? 0 : WNOHANG) == pid_) status_ = status;
  return status_;
}

std::optional<long> ExtensionProcess::residentKib() const {
  if (status_) return std::nullopt;
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return std::nullopt;
}

FakeSafariHost::FakeSafariHost(int fd, Answer answer, Observer observer, bool record)
    : state_(std::make_shared<State>()) {
  ipc::Connection::Handlers handlers;
  handlers.onCall = [state = state_, answer = std::move(answer), observer = std::move(observer),
                     record](const std::string& method, const Json& args,
                             ipc::Responder responder) {
    ReceivedCall call{method, args, responder.wantsReply()};
    if (observer) observer(call);
    if (record) {
      std::lock_guard lock(state->mutex);
      state->calls.push_back(call);
      state->changed.notify_all();
    }
    if (!responder.wantsReply()) return;
    std::optional<Json> result = answer ? answer(method, args) : std::nullopt;
    if (result) {
      responder.reply(*result);
    } else {
      responder.fail("not answered by the test");
    }
  };
  handlers.onClose = [state = state_] {
    std::lock_guard lock(state->mutex);
    state->closed = true;
    state->changed.notify_all();
  };
  connection_ = ipc::Connection::start(fd, std::move(handlers));
}

FakeSafariHost::~FakeSafariHost() {
  connection_->close();
}

std::vector<ReceivedCall> FakeSafariHost::calls() const {
  std::lock_guard lock(state_->mutex);
  return state_->calls;
}

bool FakeSafariHost::waitUntil(const std::function<bool(const std::vector<ReceivedCall>&)>& done,
                               std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, timeout, [&] { return done(state_->calls); });
}

bool FakeSafariHost::waitForClose(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, timeout, [&] { return state_->closed; });
}

bool sameJson(const Json& a, const Json& b) {
  return nlohmann::json::parse(a.dump()) == nlohmann::json::parse(b.dump());
}

Json passToBgPageUserInfo(const std::string& srcPageId, const std::string& json) {
  return Json{{"meta", {{"srcPageId", srcPageId}}}, {"data", {{"json", json}}}};
}

}  // namespace qv::test
