#include "Common/JsonFields.h"

namespace qv::json {

std::optional<std::string> string(const Json& object, const char* key) {
  if (!object.is_object()) return std::nullopt;
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<bool> boolean(const Json& object, const char* key) {
  if (!object.is_object()) return std::nullopt;
  auto it = object.find(key);
  if (it == object.end() || !it->is_boolean()) return std::nullopt;
  return it->get<bool>();
}

std::optional<std::optional<std::string>> optionalString(const Json& object, const char* key) {
  if (!object.is_object()) return std::nullopt;
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::optional<std::string>();
  if (!it->is_string()) return std::nullopt;
  return std::optional<std::string>(it->get<std::string>());
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
