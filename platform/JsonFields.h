#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Json.h"

namespace qv::json {

// Strict readers of one member of a JSON object, for everything that decodes outside
// input: a member of the wrong JSON type never converts. A value that is not an object
// has no members.

// The member `key`; null when absent.
const Json* member(const Json& object, std::string_view key);

// The member when it is an object; null otherwise.
const Json* object(const Json& object, std::string_view key);

// The member when present with that JSON type; absent otherwise.
std::optional<std::string> string(const Json& object, std::string_view key);
std::optional<bool> boolean(const Json& object, std::string_view key);
// A number of any JSON kind, as a finite double (what arrives as JSON may be 1e308 or an
// integer past 2^63: convert it only after checking its range).
std::optional<double> number(const Json& object, std::string_view key);

// An optional member: missing or null gives an engaged outer optional holding absent;
// a member of another type gives a disengaged outer optional (a decoding error).
std::optional<std::optional<std::string>> optionalString(const Json& object, std::string_view key);

// Parses UTF-8 JSON text; absent when it is not one complete JSON text.
std::optional<Json> parse(std::string_view text);
// Compact JSON text; absent when a string in the value is not valid UTF-8, with the
// reason in `error` when given.
std::optional<std::string> dump(const Json& value, std::string* error = nullptr);

}  // namespace qv::json
