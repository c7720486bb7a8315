#include "tests/support/PrivateSessionBus.h"

#include <signal.h>

#include <chrono>

namespace qv::test {

PrivateSessionBus::PrivateSessionBus()
    : daemon_(ChildProcess::start({"dbus-daemon", "--session", "--nofork", "--print-address"},
                                  {.captureStdout = true})) {
  if (!daemon_) return;
  // The daemon prints its address on one line once it listens.
  bool printed = daemon_->waitForOutput(
      [](const std::string& out) { return out.find('\n') != std::string::npos; },
      std::chrono::seconds(10));
  if (printed) address_ = daemon_->out().substr(0, daemon_->out().find('\n'));
}

PrivateSessionBus::~PrivateSessionBus() {
  if (!daemon_) return;
  daemon_->signal(SIGTERM);
  daemon_->waitForExit(std::chrono::seconds(10));  // killed by ChildProcess when it hangs
}

}  // namespace qv::test
