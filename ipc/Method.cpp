#include "ipc/Method.h"

#include <string>

namespace qv::ipc {
namespace {

bool hasType(const Json& value, Type type) {
  switch (type) {
    case Type::String:
      return value.is_string();
    case Type::Bool:
      return value.is_boolean();
    case Type::Integer:
      return value.is_number_integer();
    case Type::Number:
      return value.is_number();
    case Type::Object:
      return value.is_object();
    case Type::Array:
      return value.is_array();
    case Type::Any:
    case Type::Ref:
    case Type::RefList:
      return true;
  }
  return false;
}

const char* typeName(Type type) {
  switch (type) {
    case Type::String:
      return "a string";
    case Type::Bool:
      return "a boolean";
    case Type::Integer:
      return "an integer";
    case Type::Number:
      return "a number";
    case Type::Object:
      return "an object";
    case Type::Array:
      return "an array";
    default:
      return "a value";
  }
}

}  // namespace

const Method* findMethod(MethodTable table, std::string_view name) {
  for (const Method* method : table) {
    if (method->name == name) return method;
  }
  return nullptr;
}

std::optional<Error> checkFields(const Json& object, std::span<const Field> fields,
                                 ErrorKind kind) {
  if (!object.is_object()) return Error{kind, "expected an object"};
  for (const Field& field : fields) {
    auto it = object.find(field.key);
    bool missing = it == object.end();
    // Null stands for "absent", except where any value, null included, is declared.
    bool absent = missing || (it->is_null() && field.type != Type::Any);
    if (absent && field.optional) continue;
    if (absent && (field.type == Type::Ref || field.type == Type::RefList)) continue;
    if (absent || !hasType(*it, field.type)) {
      std::string rule = field.optional ? std::string(typeName(field.type)) + " or null"
                                        : std::string(typeName(field.type));
      return Error{kind, std::string(field.key) + " must be " + rule};
    }
  }
  return std::nullopt;
}

}  // namespace qv::ipc
