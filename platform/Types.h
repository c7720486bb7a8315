#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// A byte blob (the platform's Data).
using Bytes = std::vector<std::uint8_t>;

inline Bytes toBytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}
inline std::string toString(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// A point in time: seconds since 1970-01-01T00:00:00Z, with fractions.
struct Date {
  double secondsSince1970 = 0;

  auto operator<=>(const Date&) const = default;
  Date operator+(double seconds) const { return Date{secondsSince1970 + seconds}; }
  double operator-(const Date& other) const { return secondsSince1970 - other.secondsSince1970; }
};

}  // namespace qv
