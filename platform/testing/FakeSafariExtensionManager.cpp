#include "platform/testing/FakeSafariExtensionManager.h"

#include <utility>

namespace qv::testing {

void FakeSafariExtensionManager::answer(std::function<void()> delivery) {
  {
    std::lock_guard lock(mutex_);
    if (hold_) {
      held_.push_back(std::move(delivery));
      return;
    }
  }
  delivery();
}

void FakeSafariExtensionManager::dispatchMessage(const std::string& name,
                                                 const std::string& extensionIdentifier,
                                                 const std::optional<Json>& userInfo,
                                                 ErrorCompletion completion) {
  {
    std::lock_guard lock(mutex_);
    dispatched_.push_back(DispatchedMessage{name, extensionIdentifier, userInfo});
  }
  // Held answers read the script when released, like a browser answering late.
  answer([this, completion = std::move(completion)] {
    std::optional<SafariError> error;
    {
      std::lock_guard lock(mutex_);
      error = dispatchError_;
    }
    if (completion) completion(error);
  });
}

void FakeSafariExtensionManager::getStateOfSafariExtension(const std::string& extensionIdentifier,
                                                           StateCompletion completion) {
  {
    std::lock_guard lock(mutex_);
    stateRequests_.push_back(extensionIdentifier);
  }
  answer([this, completion = std::move(completion)] {
    std::optional<SafariExtensionState> state;
    std::optional<SafariError> error;
    {
      std::lock_guard lock(mutex_);
      state = state_;
      error = stateError_;
    }
    if (completion) completion(state, error);
  });
}

void FakeSafariExtensionManager::showPreferencesForExtension(const std::string& extensionIdentifier,
                                                             ErrorCompletion completion) {
  {
    std::lock_guard lock(mutex_);
    preferencesRequests_.push_back(extensionIdentifier);
  }
  answer([this, completion = std::move(completion)] {
    std::optional<SafariError> error;
    {
      std::lock_guard lock(mutex_);
      error = preferencesError_;
    }
    if (completion) completion(error);
  });
}

void FakeSafariExtensionManager::setState(std::optional<SafariExtensionState> state,
                                          std::optional<SafariError> error) {
  std::lock_guard lock(mutex_);
  state_ = std::move(state);
  stateError_ = std::move(error);
}

void FakeSafariExtensionManager::setDispatchError(std::optional<SafariError> error) {
  std::lock_guard lock(mutex_);
  dispatchError_ = std::move(error);
}

void FakeSafariExtensionManager::setShowPreferencesError(std::optional<SafariError> error) {
  std::lock_guard lock(mutex_);
  preferencesError_ = std::move(error);
}

void FakeSafariExtensionManager::holdCompletions(bool hold) {
  std::lock_guard lock(mutex_);
  hold_ = hold;
}

std::size_t FakeSafariExtensionManager::releaseHeld() {
  std::vector<std::function<void()>> held;
  {
    std::lock_guard lock(mutex_);
    held.swap(held_);
  }
  for (auto& delivery : held) delivery();
  return held.size();
}

std::size_t FakeSafariExtensionManager::heldCount() const {
  std::lock_guard lock(mutex_);
  return held_.size();
}

std::vector<FakeSafariExtensionManager::DispatchedMessage> FakeSafariExtensionManager::dispatched()
    const {
  std::lock_guard lock(mutex_);
  return dispatched_;
}

std::vector<std::string> FakeSafariExtensionManager::stateRequests() const {
  std::lock_guard lock(mutex_);
  return stateRequests_;
}

std::vector<std::string> FakeSafariExtensionManager::preferencesRequests() const {
  std::lock_guard lock(mutex_);
  return preferencesRequests_;
}

}  // namespace qv::testing
