#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "platform/NotificationCenter.h"

namespace qv::testing {

// Records delivered notifications; the test plays the user clicking one. Main thread.
class FakeNotificationCenter final : public NotificationCenter {
 public:
  void setDelegate(std::weak_ptr<NotificationCenterDelegate> delegate) override {
    delegate_ = std::move(delegate);
  }
  void deliver(const UserNotification& notification) override {
    delivered_.push_back(notification);
  }

  const std::vector<UserNotification>& delivered() const { return delivered_; }
  std::shared_ptr<NotificationCenterDelegate> delegate() const { return delegate_.lock(); }
  // The user clicks delivered notification `index`; false when there is no delegate.
  bool activate(std::size_t index) {
    auto delegate = delegate_.lock();
    if (!delegate || index >= delivered_.size()) return false;
    delegate->didActivate(delivered_[index]);
    return true;
  }

 private:
  std::weak_ptr<NotificationCenterDelegate> delegate_;
  std::vector<UserNotification> delivered_;
};

}  // namespace qv::testing
