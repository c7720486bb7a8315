#pragma once

#include <functional>
#include <map>
#include <string>

#include "platform/Json.h"
#include "platform/linux/IpcConnection.h"

namespace qv::host {

class Browser;
struct ExtensionInfo;

// Answers an extension's calls on the browser's objects (application, window, tab,
// page, toolbar item, popover). References to objects that no longer exist, or
// arguments of the wrong type, give null results or do nothing; an extension may only
// touch its own toolbar items and reach its own content scripts. Main thread only.
class SafariObjectApi {
 public:
  explicit SafariObjectApi(Browser& browser);

  // Replies when the call asked for a reply; an unknown method is an error.
  void handle(const ExtensionInfo& extension, const std::string& method, const Json& args,
              const ipc::Responder& responder);

 private:
  using Method = std::function<Json(const ExtensionInfo& extension, const Json& args)>;
  void addMethods();

  Browser& browser_;
  std::map<std::string, Method> methods_;
};

}  // namespace qv::host
