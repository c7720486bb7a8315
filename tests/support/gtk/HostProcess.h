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
#include "tests/support/TempDir.h"

namespace qv::test {

// Polls `condition` until it holds or `timeout` passes; true when it held.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A solid-colour PNG (what toolbar images and the test icon are made of).
std::string solidPng(int width, int height, unsigned char red, unsigned char green,
                     unsigned char blue);
// Pixels of a PNG file within `tolerance` of the colour in every channel; -1 when the file
// cannot be read.
long countPixels(const std::string& pngPath, unsigned char red, unsigned char green,
                 unsigned char blue, int tolerance = 8);

// Plain HTTP pages on 127.0.0.1: /a ("Page A"), /b ("Page B"), and /c ("Page C");
// each sets a page-world variable and records what its own scripts could see.
class TestWebServer {
 public:
  TestWebServer();
  ~TestWebServer();
  TestWebServer(const TestWebServer&) = delete;
  TestWebServer& operator=(const TestWebServer&) = delete;
  std::string url(const std::string& path) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Accepts connections on 127.0.0.1 and never answers: a load from it never finishes.
class SilentServer {
 public:
  SilentServer();
  ~SilentServer();
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  std::string url() const;

 private:
  int fd_ = -1;
  int port_ = 0;
};

// The test extension's identifiers and its application bundle, written under a
// directory, and the registration that makes safari-host read it.
struct TestBundle {
  static constexpr const char* kAppIdentifier = "com.example.qvtest";
  static constexpr const char* kExtensionIdentifier = "com.example.qvtest.ext";
  static constexpr const char* kImageName = "ToolbarIcon.png";
  // A second extension in the same application (QvTestOther.appex), with the same
  // scripts and executable.
  static constexpr const char* kOtherIdentifier = "com.example.qvtest.other";

  // Writes <root>/TestApp.app (with its .appex, or both) and registers it in `dataHome`.
  // `caPemPath` names a development CA for QVDeployment.CACertificates.
  static std::string create(const std::string& root, const std::string& dataHome,
                            const std::optional<std::string>& caPemPath = std::nullopt,
                            bool withOther = false);
};

// One safari-host process with private XDG directories, driven over its control socket.
// The test extension records into extensionLogPath().
class HostProcess {
 public:
  struct Options {
    bool registerBundle = true;
    bool enableExtension = true;
    bool otherExtension = false;  // also bundle and enable kOtherIdentifier
    std::optional<std::string> caPemPath;
    std::vector<std::string> urls;
  };

  HostProcess();
  explicit HostProcess(Options options);
  // automation.quit, then SIGKILL if it has not exited by a deadline.
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // Starts the browser and connects; false (with a test failure) when it does not come up.
  bool start();
  // Quits and waits for the process; its exit status, or -1.
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
  pid_t pid() const { return pid_; }

 private:
  Options options_;
  TempDir root_;
  pid_t pid_ = -1;
  int nextTag_ = 1;
  std::shared_ptr<ipc::Connection> control_;
};

// A log-entry matcher: an incoming call named `method` (with `name` when given).
std::function<bool(const Json&)> isCall(const std::string& method, const std::string& name = "");

}  // namespace qv::test
