#pragma once

#include <string>

#include "Common/Color.h"

namespace qv {

// The palette of the enable-extension screen for one appearance.
struct ColorScheme {
  Color panel;
  Color text;
  Color button;
  Color disableButton;
  Color disableButtonBorder;
  std::string enableQuorvaneAnimationImage;
  std::string warningMarkImage;

  static ColorScheme light();
  static ColorScheme dark();
  static ColorScheme forAppearance(bool isDark) { return isDark ? dark() : light(); }

  bool operator==(const ColorScheme&) const = default;
};

}  // namespace qv
