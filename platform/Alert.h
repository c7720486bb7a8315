#pragma once

#include <string>
#include <vector>

namespace qv {

enum class AlertStyle { warning, informational, critical };

// The contents of one alert.
struct AlertMessage {
  std::string messageText;
  std::string informativeText;
  AlertStyle style = AlertStyle::warning;
  std::vector<std::string> buttons;  // in order; the first is the default

  bool operator==(const AlertMessage&) const = default;
};

// Shows application-modal alerts. Call it on the main thread. runModal presents the
// alert over the application's windows and returns without waiting for the answer
// (the alert blocks the rest of the user interface until the user dismisses it).
class Alert {
 public:
  virtual ~Alert() = default;
  virtual void runModal(const AlertMessage& message) = 0;
};

}  // namespace qv
