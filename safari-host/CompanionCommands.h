#pragma once

#include <functional>
#include <string>

#include "ipc/Dispatcher.h"

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

  // Adds these calls to the control socket's dispatcher; they must not outlive this.
  void registerOn(ipc::Dispatcher& dispatcher);

 private:
  void dispatchMessage(const Json& args, const ipc::Responder& responder);
  void getState(const Json& args, const ipc::Responder& responder);
  void showPreferences(const Json& args, const ipc::Responder& responder);
  // The named extension, or the error answered when it is unknown.
  std::optional<std::string> knownExtension(const Json& args,
                                            const ipc::Responder& responder) const;

  ExtensionRegistry& registry_;
  ExtensionHost& host_;
  ShowPreferences showPreferences_;
};

}  // namespace qv::host
