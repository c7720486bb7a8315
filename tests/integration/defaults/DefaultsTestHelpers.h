#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/UserDefaults.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Wait.h"

namespace qv::test {

// Runs build/bin/qv-defaults with XDG_CONFIG_HOME set to `configHome`.
inline CommandResult runTool(const std::string& configHome, std::vector<std::string> args) {
  args.insert(args.begin(), QV_DEFAULTS_TOOL);
  return runCommand(args, {"XDG_CONFIG_HOME=" + configHome});
}

// The same on the app-group suite `suite`: `qv-defaults --suite SUITE ARGS...`.
inline CommandResult runSuiteTool(const std::string& configHome, const std::string& suite,
                                  std::vector<std::string> args) {
  args.insert(args.begin(), {"--suite", suite});
  return runTool(configHome, std::move(args));
}

// Starts `qv-defaults --suite SUITE ARGS...` without waiting for it, its output captured.
inline std::optional<ChildProcess> startSuiteTool(const std::string& configHome,
                                                  const std::string& suite,
                                                  std::vector<std::string> args) {
  args.insert(args.begin(), {QV_DEFAULTS_TOOL, "--suite", suite});
  return ChildProcess::start(args, {.environment = {"XDG_CONFIG_HOME=" + configHome},
                                    .captureStdout = true,
                                    .captureStderr = true});
}

// A subscriber of `key` that counts its calls and records the string value it saw at
// each call; subscribed from construction until unsubscribe() or destruction.
class Recorder {
 public:
  Recorder(UserDefaults& store, std::string key) : store_(store), key_(std::move(key)) {
    subscription_ = store_.subscribe(key_, [this] {
      std::optional<std::string> value = store_.string(key_);
      std::lock_guard lock(mutex_);
      seen_.push_back(value);
      calls_.fetch_add(1);
    });
  }

  // Once this returns, no call runs or will run.
  void unsubscribe() { subscription_.reset(); }
  int calls() const { return calls_.load(); }
  bool saw(const std::optional<std::string>& value) const {
    std::lock_guard lock(mutex_);
    for (const auto& item : seen_) {
      if (item == value) return true;
    }
    return false;
  }

 private:
  UserDefaults& store_;
  std::string key_;
  mutable std::mutex mutex_;
  std::vector<std::optional<std::string>> seen_;
  std::atomic<int> calls_{0};
  std::unique_ptr<Subscription> subscription_;  // last, so that it goes first
};

// Returns once every change committed before the call has been delivered: two local
// writes to a private key, each awaited, put a whole watcher pass behind us.
inline bool drainNotifications(UserDefaults& store) {
  static std::atomic<std::int64_t> nonce{0};
  std::atomic<int> calls{0};
  auto subscription = store.subscribe("~barrier", [&calls] { calls.fetch_add(1); });
  for (int round = 1; round <= 2; ++round) {
    if (!store.set("~barrier", UserDefaults::Value(nonce.fetch_add(1)))) return false;
    if (!waitUntil([&] { return calls.load() >= round; })) return false;
  }
  return true;
}

}  // namespace qv::test
