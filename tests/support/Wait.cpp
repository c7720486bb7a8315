#include "tests/support/Wait.h"

#include <algorithm>
#include <thread>

namespace qv::test {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  std::chrono::milliseconds pause(1);
  while (!condition()) {
    auto now = Clock::now();
    if (now >= deadline) return condition();
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    std::this_thread::sleep_for(std::min(pause, left + std::chrono::milliseconds(1)));
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace qv::test
