#pragma once

namespace qv {

// A red-green-blue-alpha colour with components in 0…1 (GTK draws it as a GdkRGBA).
struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;

  bool operator==(const Color&) const = default;
};

}  // namespace qv
