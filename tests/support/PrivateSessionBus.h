#pragma once

#include <optional>
#include <string>

#include "tests/support/ChildProcess.h"

namespace qv::test {

// A D-Bus session bus of the test's own (dbus-daemon --session), so that companions of
// tests that run at the same time never meet. Ends the daemon when destroyed. Use from
// one thread.
class PrivateSessionBus {
 public:
  PrivateSessionBus();
  ~PrivateSessionBus();
  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

  // Empty when the daemon could not be started.
  const std::string& address() const { return address_; }

 private:
  std::optional<ChildProcess> daemon_;
  std::string address_;
};

}  // namespace qv::test
