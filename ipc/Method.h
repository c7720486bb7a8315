#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "ipc/Error.h"
#include "platform/Json.h"

namespace qv::ipc {

// The JSON type a declared argument or result member has.
enum class Type : std::uint8_t {
  String,
  Bool,
  Integer,
  Number,
  Object,
  Array,
  Any,
  // An object reference chosen by safari-host ("tab-7"). Never rejected: anything but a
  // string names no object, and the call then gives null results or does nothing.
  Ref,
  // An array of references; elements that are not strings name nothing.
  RefList,
};

// One member of a call's arguments or of a reply's result.
struct Field {
  std::string_view key;
  Type type;
  bool optional = false;  // may be missing or null
};

// One method of a connection, declared once and used by both ends.
struct Method {
  std::string_view name;
  std::span<const Field> args;
  std::span<const Field> result;  // members of the reply's result; none: {}
  bool wantsReply = true;         // false: sent without an id, and nothing comes back
  bool automationOnly = false;    // for tests and demos driving the browser
  // The argument that carries the call's own time-out in milliseconds, if it has one:
  // the caller then waits that long plus a second instead of the usual limit.
  std::string_view timeoutArg = {};
};

// The methods one side of a connection answers.
using MethodTable = std::span<const Method* const>;

// The declared method called `name`; null when the table has none.
const Method* findMethod(MethodTable table, std::string_view name);

// Whether `value` is of the declared `type`; references and Any take every value.
bool hasType(const Json& value, Type type);

// Checks `object` against `fields`: the one error naming the first member that is
// missing or of the wrong type, or none. Members not declared are let through.
std::optional<Error> checkFields(const Json& object, std::span<const Field> fields,
                                 ErrorKind kind = ErrorKind::InvalidArguments);

}  // namespace qv::ipc
