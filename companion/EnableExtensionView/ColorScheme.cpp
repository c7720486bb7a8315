#include "companion/EnableExtensionView/ColorScheme.h"

namespace qv {

ColorScheme ColorScheme::light() {
  return ColorScheme{hexColor(0xFFFFFF, 1.0), hexColor(0x1C1E29, 1.0),
                     hexColor(0x196DEF, 1.0), hexColor(0xFFFFFF, 1.0),
                     hexColor(0xE4E4E4, 1.0), "EnableQuorvaneAnimationLight",
                     "LightWarningMark"};
}

ColorScheme ColorScheme::dark() {
  return ColorScheme{hexColor(0x1C1D23, 1.0), hexColor(0xDDDDDE, 1.0),
                     hexColor(0x1768E5, 1.0), hexColor(0x484848, 1.0),
                     hexColor(0x575757, 1.0), "EnableQuorvaneAnimationDark",
                     "DarkWarningMark"};
}

}  // namespace qv
