#pragma once

#include <memory>

#include "companion/EnableExtensionNotification.h"
#include "companion/EnableExtensionView/EnableExtensionView.h"

namespace qv {

class Env;

// The content of the companion's window: owns the enable-extension screen. Main
// thread only.
class EnableExtensionViewController {
 public:
  EnableExtensionViewController(Env& env,
                                std::shared_ptr<EnableExtensionNotification> notification);
  EnableExtensionViewController(const EnableExtensionViewController&) = delete;
  EnableExtensionViewController& operator=(const EnableExtensionViewController&) = delete;

  // The screen; never null.
  const std::shared_ptr<EnableExtensionView>& view() const { return view_; }

 private:
  std::shared_ptr<EnableExtensionView> view_;
};

}  // namespace qv
