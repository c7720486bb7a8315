#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Json.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ServiceProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/gtk/HostProcess.h"

namespace qv::test {

inline constexpr const char* kExtensionId = "com.quorvane.safari.ext";
inline constexpr const char* kCompanionId = "com.quorvane.safari";
inline constexpr const char* kSuite = "K4ZT7P2QN8.group.com.quorvane.safari.extension";

// True when the built bundle holds the companion's executable.
bool companionBuilt();

// The whole system for one test: the service stand-in on a free port, a copy of the
// built bundle whose deployment values point at it (and trust its authority), and
// safari-host with private XDG folders; optionally the companion, registered as the
// desktop's handler of the sign-in callback scheme. Everything it started ends with it.
// Failures are recorded as test failures. Use from the test's thread.
class E2eSystem {
 public:
  // With `tracePath`, safari-host is started with --trace=tracePath.
  explicit E2eSystem(std::optional<std::string> tracePath = std::nullopt);
  ~E2eSystem();
  E2eSystem(const E2eSystem&) = delete;
  E2eSystem& operator=(const E2eSystem&) = delete;

  // Starts safari-host (and the companion); false, with a test failure, when one of them
  // does not come up.
  bool start(bool withCompanion);

  ServiceProcess& service() { return service_; }
  HostProcess& host() { return *host_; }
  const std::string& bundlePath() const { return app_; }
  // The companion's process, once start(true) started it.
  std::optional<pid_t> companionPid() const;

  // Enables the extension once safari-host knows it.
  bool enableExtension();
  // Opens a window on the service's `path`, waits for its load and for the content
  // script's greeting from the background page; {window, tab}, or null.
  Json openAssistedPage(const std::string& path);
  // automation.evaluate's value, or null (with a test failure).
  Json evaluate(const std::string& tab, const std::string& script, const std::string& world);
  // Every tab as {window, tab, url, loading, active}.
  std::vector<Json> tabs();
  // `qv-defaults --suite kSuite read key` in the system's configuration folder.
  std::optional<std::string> readShared(const std::string& key);
  // Records of the service whose method and path match.
  std::vector<Json> records(const std::string& method, const std::string& path);

 private:
  void assembleBundle();
  void registerSchemeHandler();
  std::vector<std::string> environment() const;

  ServiceProcess service_;
  TempDir bundleRoot_;
  std::string app_;
  std::unique_ptr<HostProcess> host_;
  std::optional<ChildProcess> companion_;
};

}  // namespace qv::test
