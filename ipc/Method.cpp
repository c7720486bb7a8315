#include "ipc/Method.h"

#include <string>

#include "platform/EnumNames.h"

namespace qv::ipc {
namespace {

constexpr EnumName<Type> kTypeNames[] = {{Type::String, "a string"},    {Type::Bool, "a boolean"},
                                         {Type::Integer, "an integer"}, {Type::Number, "a number"},
                                         {Type::Object, "an object"},   {Type::Array, "an array"},
                                         {Type::Any, "a value"}};

std::string typeName(Type type) {
  std::string_view name = enumName(kTypeNames, type);
  return std::string(name.empty() ? "a value" : name);
}

}  // namespace

const Method* findMethod(MethodTable table, std::string_view name) {
  for (const Method* method : table) {
    if (method->name == name) return method;
  }
  return nullptr;
}

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
      std::string rule = typeName(field.type) + (field.optional ? " or null" : "");
      return Error{kind, std::string(field.key) + " must be " + rule};
    }
  }
  return std::nullopt;
}

}  // namespace qv::ipc
