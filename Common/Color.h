#pragma once

#include <cstdint>

#include "platform/Color.h"

namespace qv {

// A colour from 0xRRGGBB and an alpha; the top byte of `value` is ignored.
constexpr Color hexColor(std::uint32_t value, float a) {
  return Color{static_cast<double>((value >> 16) & 0xFF) / 255.0,
               static_cast<double>((value >> 8) & 0xFF) / 255.0,
               static_cast<double>(value & 0xFF) / 255.0, static_cast<double>(a)};
}

}  // namespace qv
