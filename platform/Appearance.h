#pragma once

#include <functional>
#include <memory>

#include "platform/UserDefaults.h"

namespace qv {

// The system's light or dark appearance. Main thread only: the change callback also
// runs there. Destroying the returned Subscription stops the callbacks.
class Appearance {
 public:
  virtual ~Appearance() = default;
  virtual bool isDark() const = 0;
  virtual std::unique_ptr<Subscription> observeChanges(std::function<void()> onChange) = 0;
};

}  // namespace qv
