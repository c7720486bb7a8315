#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ipc/Connection.h"
#include "platform/Json.h"

// Pieces for driving the extension outside a browser: a bundle written to disk, the
// extension executable running in it, and a stand-in for safari-host at the other end
// of its socket. Used by the integration tests and the relay benchmark; no GoogleTest
// in here.
namespace qv::test {

// What goes into a test extension bundle.
struct ExtensionBundleContents {
  std::string backgroundScript;  // Contents/Resources/Quorvane-bg.js
  std::string backgroundTemplate =
      "<!DOCTYPE html><html><head><title>bg</title></head><body></body></html>";
  std::string bareDomain = "quorvane.test";
  // Nothing listens there, so the remote log's records fail fast and quietly.
  std::string logHost = "127.0.0.1:9";
  std::string popupScript =  // Contents/Resources/Quorvane-popup.js
      "window.webkit.messageHandlers.settingPopupReady.postMessage({});";
  std::string popupStyleSheet = ".popup { margin: 0; }";  // …/Quorvane-popup.styles.css
};

// Writes `<directory>/Test.appex` with Contents/Info.plist (identity and QVDeployment),
// clientInfo.json, the background script and template, the popup script and style sheet. With
// `executable`, copies that file to Contents/MacOS/Quorvane_Safari_Extension: a copy, not a link,
// because the process finds its bundle through /proc/self/exe. Returns the bundle path; empty when
// a file could not be written.
std::string writeExtensionBundle(const std::string& directory,
                                 const ExtensionBundleContents& contents,
                                 const std::optional<std::string>& executable = std::nullopt);

// The extension executable, started as safari-host starts it: one end of a socket pair
// as descriptor 3, `--ipc-fd=3`, the caller's environment. Killed (SIGKILL) and reaped
// on destruction if it is still running.
class ExtensionProcess {
 public:
  static constexpr int childFd = 3;

  // Absent when the socket pair or the spawn failed (`error` says why). `arguments`
  // replace the usual `--ipc-fd=3`.
  static std::unique_ptr<ExtensionProcess> spawn(
      const std::string& executable, std::string* error = nullptr,
      const std::optional<std::vector<std::string>>& arguments = std::nullopt);
  ~ExtensionProcess();
  ExtensionProcess(const ExtensionProcess&) = delete;
  ExtensionProcess& operator=(const ExtensionProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Our end of the socket. Hand it to FakeSafariHost (which then owns it), or write raw
  // bytes to it; release() gives up ownership.
  int hostFd() const { return hostFd_; }
  int releaseHostFd();

  // The raw wait status once the process has exited; absent on time-out.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);
  // VmRSS of the running process in KiB; absent once it is gone.
  std::optional<long> residentKib() const;

 private:
  ExtensionProcess(pid_t pid, int hostFd) : pid_(pid), hostFd_(hostFd) {}

  pid_t pid_;
  int hostFd_;
  std::optional<int> status_;
};

// One call the extension made.
struct ReceivedCall {
  std::string method;
  Json args;
  bool wantsReply = false;
};

// safari-host's side of the connection. Calls that want a reply are answered with
// `answer(method, args)`, or with an error when it gives nothing. Every call is recorded
// (unless recording is off) and handed to `observer`, on the reader thread.
class FakeSafariHost {
 public:
  using Answer = std::function<std::optional<Json>(const std::string& method, const Json& args)>;
  using Observer = std::function<void(const ReceivedCall& call)>;

  // Takes ownership of `fd`.
  FakeSafariHost(int fd, Answer answer, Observer observer = nullptr, bool record = true);
  ~FakeSafariHost();

  ipc::Connection& connection() { return *connection_; }
  std::vector<ReceivedCall> calls() const;
  // True once `done(calls)` holds; false after `timeout`.
  bool waitUntil(const std::function<bool(const std::vector<ReceivedCall>&)>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
  bool waitForClose(std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

 private:
  struct State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<ReceivedCall> calls;
    bool closed = false;
  };
  std::shared_ptr<State> state_;
  std::shared_ptr<ipc::Connection> connection_;
};

// Equal as JSON values, whatever the order of object keys (no receiver depends on it).
bool sameJson(const Json& a, const Json& b);

// A content page's "passToBgPage" user info: {"meta": {"srcPageId"}, "data": {"json"}}.
Json passToBgPageUserInfo(const std::string& srcPageId, const std::string& json);

}  // namespace qv::test
