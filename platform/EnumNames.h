#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

namespace qv {

// The names of an enumeration's values, for enums whose values travel as text (log
// levels, message, handler and logger names): one table per enum, read both ways.
//   constexpr EnumName<LogLevel> kLevels[] = {{LogLevel::info, "INFO"}, ...};
template <typename E>
using EnumName = std::pair<E, std::string_view>;

// The name of `value`; empty for a value the table lacks.
template <typename E, std::size_t N>
constexpr std::string_view enumName(const EnumName<E> (&names)[N], E value) {
  for (const auto& [each, name] : names) {
    if (each == value) return name;
  }
  return {};
}

// The value named `text` exactly; absent for any other text.
template <typename E, std::size_t N>
constexpr std::optional<E> enumValue(const EnumName<E> (&names)[N], std::string_view text) {
  for (const auto& [value, name] : names) {
    if (name == text) return value;
  }
  return std::nullopt;
}

}  // namespace qv
