#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ipc/Connection.h"
#include "platform/Json.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/gtk/TestBundle.h"

namespace qv::test {

// One safari-host process with private XDG directories under a folder of its own, driven
// over its control socket. The test extension (see TestBundle) records into
// extensionLogPath(). Failures to start or to quit are recorded as test failures. Use
// from the test's thread.
class HostProcess {
 public:
  struct Options {
    bool registerBundle = true;
    bool enableExtension = true;
    bool otherExtension = false;  // also bundle and enable kOtherIdentifier
    std::optional<std::string> caPemPath;
    std::vector<std::string> urls;
    // Started with --automation (tests drive it that way); without, the test quits it
    // with SIGTERM, as a desktop session would.
    bool automation = true;
    // QV_TEST_EXTENSION_MODE for the test extension: see test_extension.cpp.
    std::string extensionMode;
    // Started with --trace=FILE: its trace goes there, its extensions' beside it.
    std::optional<std::string> tracePath;
  };

  HostProcess();
  explicit HostProcess(Options options);
  // automation.quit, then SIGKILL if it has not exited by a deadline; a browser that does
  // not exit cleanly fails the test.
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // Starts the browser and connects; false (with a test failure) when it does not come up.
  bool start();
  // Quits and waits for the process; its raw wait status, or -1.
  int quit();
  bool isRunning();

  ipc::Reply call(const std::string& method, const Json& args = Json::object(),
                  std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // The result; records a test failure and returns null on an error.
  Json callOk(const std::string& method, const Json& args = Json::object());

  // The extension performs `method` on the browser; its reply (the "result" log entry).
  Json extensionCall(const std::string& method, const Json& args,
                     const std::string& extension = TestBundle::kExtensionIdentifier);
  // Sends a message from the containing application; true when accepted.
  bool tellExtension(const std::string& name, const Json& userInfo = Json::object(),
                     const std::string& extension = TestBundle::kExtensionIdentifier);

  // Every entry of the test extension's log so far.
  std::vector<Json> extensionLog() const;
  // The first log entry (after `from` entries) that matches, waiting for it.
  std::optional<Json> waitForLog(const std::function<bool(const Json&)>& matches,
                                 std::size_t from = 0,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(20));

  // Opens a window on `url`, waits for its load; its {window, tab}.
  Json openWindowAndWait(const std::string& url);

  const TempDir& root() const { return root_; }
  std::string configHome() const { return root_.path() + "/config"; }
  std::string dataHome() const { return root_.path() + "/data"; }
  std::string runtimeDir() const { return root_.path() + "/runtime"; }
  std::string extensionLogPath() const { return root_.path() + "/extension.log"; }
  std::string socketPath() const;
  // The browser's process id once started; -1 before.
  pid_t pid() const;
  // Makes a recorder the desktop's handler of `scheme` URLs (before start()): the URI it
  // is handed ends up in the file whose path this returns.
  std::string recordSchemeHandoffs(const std::string& scheme) const;
  // The test application bundle (when registerBundle).
  const std::string& bundlePath() const { return bundlePath_; }

 private:
  Options options_;
  TempDir root_;
  std::string bundlePath_;
  std::optional<ChildProcess> process_;
  bool ended_ = false;  // the test saw it end (isRunning() or quit())
  int nextTag_ = 1;
  std::shared_ptr<ipc::Connection> control_;
};

// A log-entry matcher: an incoming call named `method` (with `name` when given).
std::function<bool(const Json&)> isCall(const std::string& method, const std::string& name = "");

}  // namespace qv::test
