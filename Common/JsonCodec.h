#pragma once

#include <optional>
#include <string>

#include "platform/Json.h"

namespace qv {

// How a stored or exchanged type turns into JSON and back. Records provide
// `Json toJson() const` and `static std::optional<T> fromJson(const Json&)`; decoding
// is strict (no conversions between JSON types) and absent means "does not decode".
template <typename T>
struct JsonCodec {
  static Json encode(const T& value) { return value.toJson(); }
  static std::optional<T> decode(const Json& json) { return T::fromJson(json); }
};

template <>
struct JsonCodec<std::string> {
  static Json encode(const std::string& value) { return value; }
  static std::optional<std::string> decode(const Json& json) {
    if (!json.is_string()) return std::nullopt;
    return json.get<std::string>();
  }
};

template <>
struct JsonCodec<bool> {
  static Json encode(bool value) { return value; }
  static std::optional<bool> decode(const Json& json) {
    if (!json.is_boolean()) return std::nullopt;
    return json.get<bool>();
  }
};

// An optional value is JSON null when absent.
template <typename U>
struct JsonCodec<std::optional<U>> {
  static Json encode(const std::optional<U>& value) {
    return value ? JsonCodec<U>::encode(*value) : Json(nullptr);
  }
  static std::optional<std::optional<U>> decode(const Json& json) {
    if (json.is_null()) return std::optional<U>();
    std::optional<U> inner = JsonCodec<U>::decode(json);
    if (!inner) return std::nullopt;
    return std::optional<U>(std::move(*inner));
  }
};

}  // namespace qv
