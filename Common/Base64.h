#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace qv {

// Standard base64 (RFC 4648 section 4): the "+" and "/" alphabet, "=" padding, no line
// breaks. Pure; any thread.
inline std::string base64Encode(std::span<const std::uint8_t> bytes) {
  static constexpr char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t group = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) |
                          std::uint32_t{bytes[i + 2]};
    out += alphabet[(group >> 18) & 0x3F];
    out += alphabet[(group >> 12) & 0x3F];
    out += alphabet[(group >> 6) & 0x3F];
    out += alphabet[group & 0x3F];
  }
  std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t group = std::uint32_t{bytes[i]} << 16;
    if (rest == 2) group |= std::uint32_t{bytes[i + 1]} << 8;
    out += alphabet[(group >> 18) & 0x3F];
    out += alphabet[(group >> 12) & 0x3F];
    out += rest == 2 ? alphabet[(group >> 6) & 0x3F] : '=';
    out += '=';
  }
  return out;
}

}  // namespace qv
