// Whatever a control-socket client sends, a call reaches its handler only with every
// declared argument present and of its declared type: the handlers read them without
// checking again. Automation stays off unless the browser allows it. Input: the message
// as JSON text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ipc/Dispatcher.h"
#include "ipc/Protocol.h"
#include "platform/JsonFields.h"

namespace {

// The handlers' precondition.
void checkDeclared(const qv::ipc::Method& method, const qv::Json& args) {
  if (!args.is_object()) std::abort();
  for (const qv::ipc::Field& field : method.args) {
    // References name nothing when they are missing: handlers look them up.
    if (field.type == qv::ipc::Type::Ref || field.type == qv::ipc::Type::RefList) continue;
    auto member = args.find(std::string(field.key));
    if (member == args.end()) {
      if (!field.optional) std::abort();
      continue;
    }
    if (member->is_null() && field.type != qv::ipc::Type::Any) {
      if (!field.optional) std::abort();
      continue;
    }
    if (!qv::ipc::hasType(*member, field.type)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::optional<qv::Json> message =
      qv::json::parse(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!message || !message->is_object()) return 0;
  std::optional<std::string> name = qv::json::string(*message, "call");
  if (!name) return 0;
  const qv::Json* args = qv::json::member(*message, "args");
  const qv::Json arguments = args ? *args : qv::Json::object();

  for (bool automation : {false, true}) {
    qv::ipc::Dispatcher calls(qv::ipc::control::methods);
    calls.setAutomationAllowed(automation);
    const qv::ipc::Method* reached = nullptr;
    for (const qv::ipc::Method* method : qv::ipc::control::methods) {
      calls.on(*method, [method, &reached](const qv::Json& received, const qv::ipc::Responder&) {
        checkDeclared(*method, received);
        reached = method;
      });
    }
    calls.dispatch(*name, arguments, qv::ipc::Responder());
    if (reached && reached->automationOnly && !automation) std::abort();
    if (reached && reached->name != *name) std::abort();
  }
  return 0;
}
