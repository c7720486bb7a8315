#pragma once

#include <memory>
#include <vector>

#include "platform/Alert.h"
#include "platform/MainQueue.h"

namespace qv::testing {

// Keeps every alert shown, and counts those shown off the main thread (a fault: alerts
// belong to the main thread).
class RecordingAlert final : public Alert {
 public:
  explicit RecordingAlert(std::shared_ptr<MainQueue> mainQueue)
      : mainQueue_(std::move(mainQueue)) {}

  void runModal(const AlertMessage& message) override {
    if (!mainQueue_->isMainThread()) ++offMainThread_;
    shown_.push_back(message);
  }

  const std::vector<AlertMessage>& shown() const { return shown_; }
  int offMainThreadCount() const { return offMainThread_; }

 private:
  std::shared_ptr<MainQueue> mainQueue_;
  std::vector<AlertMessage> shown_;
  int offMainThread_ = 0;
};

}  // namespace qv::testing
