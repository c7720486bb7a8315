#include "platform/JsonFields.h"

#include <cmath>

namespace qv::json {

const Json* member(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

const Json* object(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  return value != nullptr && value->is_object() ? value : nullptr;
}

std::optional<std::string> string(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::optional<bool> boolean(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  if (value == nullptr || !value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

std::optional<double> number(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  if (value == nullptr || !value->is_number()) return std::nullopt;
  double number = value->get<double>();
  if (!std::isfinite(number)) return std::nullopt;
  return number;
}

std::optional<std::optional<std::string>> optionalString(const Json& object, std::string_view key) {
  if (!object.is_object()) return std::nullopt;
  const Json* value = member(object, key);
  if (value == nullptr || value->is_null()) return std::optional<std::string>();
  if (!value->is_string()) return std::nullopt;
  return std::optional<std::string>(value->get<std::string>());
}

std::optional<Json> parse(std::string_view text) {
  Json value = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::optional<std::string> dump(const Json& value, std::string* error) {
  try {
    return value.dump();
  } catch (const Json::exception& exception) {  // invalid UTF-8 inside a string
    if (error != nullptr) *error = exception.what();
    return std::nullopt;
  }
}

}  // namespace qv::json
