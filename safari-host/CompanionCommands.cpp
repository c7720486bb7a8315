#include "safari-host/CompanionCommands.h"

#include "safari-host/ExtensionHost.h"
#include "safari-host/ExtensionRegistry.h"

namespace qv::host {
namespace {

std::optional<std::string> identifierArg(const Json& args) {
  auto it = args.find("extensionIdentifier");
  if (it == args.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace

CompanionCommands::CompanionCommands(ExtensionRegistry& registry, ExtensionHost& host,
                                     ShowPreferences show)
    : registry_(registry), host_(host), showPreferences_(std::move(show)) {}

bool CompanionCommands::handle(const std::string& method, const Json& args,
                               const ipc::Responder& responder) {
  if (method != "extensions.dispatchMessage" && method != "extensions.getState" &&
      method != "extensions.showPreferences") {
    return false;
  }
  std::optional<std::string> identifier = identifierArg(args);
  if (!identifier) {
    responder.fail("extensionIdentifier must be a string");
    return true;
  }
  if (!registry_.find(*identifier)) {
    responder.fail("unknown extension: " + *identifier);
    return true;
  }
  if (method == "extensions.getState") {
    responder.reply(Json{{"isEnabled", registry_.isEnabled(*identifier)}});
  } else if (method == "extensions.showPreferences") {
    showPreferences_(*identifier, [responder] { responder.reply(); });
  } else {
    auto name = args.find("name");
    auto userInfo = args.find("userInfo");
    if (name == args.end() || !name->is_string()) {
      responder.fail("name must be a string");
      return true;
    }
    if (userInfo != args.end() && !userInfo->is_null() && !userInfo->is_object()) {
      responder.fail("userInfo must be an object or null");
      return true;
    }
    std::optional<std::string> error = host_.dispatchFromContainingApp(
        *identifier, name->get<std::string>(), userInfo == args.end() ? Json(nullptr) : *userInfo);
    if (error) {
      responder.fail(*error);
    } else {
      responder.reply();
    }
  }
  return true;
}

}  // namespace qv::host
