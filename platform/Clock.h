#pragma once

#include "platform/Types.h"

namespace qv {

// The wall clock. Production reads the system clock; tests move a fake by hand.
// Thread-safe.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual Date now() const = 0;
};

}  // namespace qv
