#pragma once

#include <chrono>

#include "platform/Clock.h"

namespace qv {

// The system wall clock, to the precision std::chrono::system_clock gives (nanoseconds
// on Linux, kept as a double). Thread-safe.
class SystemClock final : public Clock {
 public:
  Date now() const override {
    std::chrono::duration<double> sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return Date{sinceEpoch.count()};
  }
};

}  // namespace qv
