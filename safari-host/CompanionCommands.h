#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/Json.h"
#include "platform/linux/IpcConnection.h"

namespace qv::host {

class ExtensionHost;
class ExtensionRegistry;

// The calls a containing application makes through the control socket:
// extensions.dispatchMessage, extensions.getState, extensions.showPreferences.
// Main thread only.
class CompanionCommands {
 public:
  // Shows the preferences on an extension, then calls the completion.
  using ShowPreferences =
      std::function<void(const std::string& identifier, std::function<void()> shown)>;

  CompanionCommands(ExtensionRegistry& registry, ExtensionHost& host, ShowPreferences show);

  // False when `method` is not one of these calls (nothing was answered).
  bool handle(const std::string& method, const Json& args, const ipc::Responder& responder);

 private:
  ExtensionRegistry& registry_;
  ExtensionHost& host_;
  ShowPreferences showPreferences_;
};

}  // namespace qv::host
