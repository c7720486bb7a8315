#include "safari-host/CompanionCommands.h"

#include "ipc/Protocol.h"
#include "platform/JsonFields.h"
#include "safari-host/ExtensionHost.h"
#include "safari-host/ExtensionRegistry.h"

namespace qv::host {

CompanionCommands::CompanionCommands(ExtensionRegistry& registry, ExtensionHost& host,
                                     ShowPreferences show)
    : registry_(registry), host_(host), showPreferences_(std::move(show)) {}

void CompanionCommands::registerOn(ipc::Dispatcher& dispatcher) {
  dispatcher.on(ipc::control::dispatchMessage, this, &CompanionCommands::dispatchMessage);
  dispatcher.on(ipc::control::getState, this, &CompanionCommands::getState);
  dispatcher.on(ipc::control::showPreferences, this, &CompanionCommands::showPreferences);
}

std::optional<std::string> CompanionCommands::knownExtension(
    const Json& args, const ipc::Responder& responder) const {
  std::string identifier = *json::string(args, "extensionIdentifier");
  if (registry_.find(identifier)) return identifier;
  responder.fail("unknown extension: " + identifier);
  return std::nullopt;
}

void CompanionCommands::dispatchMessage(const Json& args, const ipc::Responder& responder) {
  std::optional<std::string> identifier = knownExtension(args, responder);
  if (!identifier) return;
  std::optional<std::string> error = host_.dispatchFromContainingApp(
      *identifier, *json::string(args, "name"), args.value("userInfo", Json(nullptr)));
  if (error) return responder.fail(*error);
  responder.reply();
}

void CompanionCommands::getState(const Json& args, const ipc::Responder& responder) {
  if (std::optional<std::string> identifier = knownExtension(args, responder)) {
    responder.reply(Json{{"isEnabled", registry_.isEnabled(*identifier)}});
  }
}

void CompanionCommands::showPreferences(const Json& args, const ipc::Responder& responder) {
  if (std::optional<std::string> identifier = knownExtension(args, responder)) {
    showPreferences_(*identifier, [responder] { responder.reply(); });
  }
}

}  // namespace qv::host
