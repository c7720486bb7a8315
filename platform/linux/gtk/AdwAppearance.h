#pragma once

#include "platform/Appearance.h"

namespace qv {

// The appearance libadwaita's style manager chooses (the system's colour scheme, or
// ADW_DEBUG_COLOR_SCHEME); its "dark" property change is the theme-changed
// notification. Main thread only, after libadwaita is initialised (the application's
// startup does that).
class AdwAppearance final : public Appearance {
 public:
  bool isDark() const override;
  std::unique_ptr<Subscription> observeChanges(std::function<void()> onChange) override;
};

}  // namespace qv
