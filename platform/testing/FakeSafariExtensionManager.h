#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/SafariExtensionManager.h"

namespace qv::testing {

// The browser as the companion sees it, answering from a script the test sets. It
// records every request. Completions run synchronously on the calling thread with the
// scripted answer, or, after holdCompletions(true), wait until the test calls
// releaseHeld() (from any thread it likes). Thread-safe.
class FakeSafariExtensionManager final : public SafariExtensionManager {
 public:
  struct DispatchedMessage {
    std::string name;
    std::string extensionIdentifier;
    std::optional<Json> userInfo;

    bool operator==(const DispatchedMessage&) const = default;
  };

  void dispatchMessage(const std::string& name, const std::string& extensionIdentifier,
                       const std::optional<Json>& userInfo, ErrorCompletion completion) override;
  void getStateOfSafariExtension(const std::string& extensionIdentifier,
                                 StateCompletion completion) override;
  void showPreferencesForExtension(const std::string& extensionIdentifier,
                                   ErrorCompletion completion) override;

  // The scripted answers (initially: disabled, no errors).
  void setState(std::optional<SafariExtensionState> state,
                std::optional<SafariError> error = std::nullopt);
  void setDispatchError(std::optional<SafariError> error);
  void setShowPreferencesError(std::optional<SafariError> error);

  void holdCompletions(bool hold);
  // Answers every held request with the answer scripted now; returns how many.
  std::size_t releaseHeld();
  std::size_t heldCount() const;

  std::vector<DispatchedMessage> dispatched() const;
  // Identifiers asked about, in order.
  std::vector<std::string> stateRequests() const;
  std::vector<std::string> preferencesRequests() const;

 private:
  void answer(std::function<void()> delivery);

  mutable std::mutex mutex_;
  std::optional<SafariExtensionState> state_ = SafariExtensionState{false};
  std::optional<SafariError> stateError_;
  std::optional<SafariError> dispatchError_;
  std::optional<SafariError> preferencesError_;
  bool hold_ = false;
  std::vector<std::function<void()>> held_;
  std::vector<DispatchedMessage> dispatched_;
  std::vector<std::string> stateRequests_;
  std::vector<std::string> preferencesRequests_;
};

}  // namespace qv::testing
