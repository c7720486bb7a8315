#pragma once

#include <cstdint>

namespace qv {

// A red-green-blue-alpha colour with components in 0…1 (GTK draws it as a GdkRGBA).
struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;

  // From 0xRRGGBB; the top byte of `value` is ignored.
  static constexpr Color hex(std::uint32_t value, float a) {
    return Color{static_cast<double>((value >> 16) & 0xFF) / 255.0,
                 static_cast<double>((value >> 8) & 0xFF) / 255.0,
                 static_cast<double>(value & 0xFF) / 255.0, static_cast<double>(a)};
  }

  bool operator==(const Color&) const = default;
};

}  // namespace qv
