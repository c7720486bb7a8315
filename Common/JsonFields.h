#pragma once

#include <optional>
#include <string>

#include "platform/Json.h"
#include "platform/Types.h"

namespace qv::json {

// Strict readers for record decoding: a member of the wrong JSON type never converts.

// The member when present with the JSON type T (std::string, bool, or Json for any).
std::optional<std::string> string(const Json& object, const char* key);
std::optional<bool> boolean(const Json& object, const char* key);

// An optional member: missing or null gives an engaged outer optional holding absent;
// a member of another type gives a disengaged outer optional (a decoding error).
std::optional<std::optional<std::string>> optionalString(const Json& object, const char* key);

// Parses UTF-8 JSON text; absent when it is not one complete JSON text.
std::optional<Json> parse(std::string_view text);
// Compact JSON text; absent when a string in the value is not valid UTF-8, with the
// reason in `error` when given.
std::optional<std::string> dump(const Json& value, std::string* error = nullptr);

}  // namespace qv::json
