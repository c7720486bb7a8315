#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/Json.h"

namespace qv {

// A failure reported by the browser; `description` is the text shown to the user and
// written to the log.
struct SafariError {
  std::string description;

  bool operator==(const SafariError&) const = default;
};

// What the browser knows about one of the application's extensions.
struct SafariExtensionState {
  bool isEnabled = false;

  bool operator==(const SafariExtensionState&) const = default;
};

// The browser as the containing application sees it: it can message the application's
// extension, report whether the extension is enabled and open the browser's settings
// for it. Extensions are addressed by bundle identifier.
//
// Every completion runs exactly once, on a thread of the implementation's choosing
// (never on the caller's stack), also when the browser cannot be reached; it must not
// assume the main thread. Every method may be called from any thread.
class SafariExtensionManager {
 public:
  using StateCompletion =
      std::function<void(std::optional<SafariExtensionState>, std::optional<SafariError>)>;
  using ErrorCompletion = std::function<void(std::optional<SafariError>)>;

  virtual ~SafariExtensionManager() = default;

  // Sends the extension the message `name` with `userInfo` (a JSON object, or absent).
  virtual void dispatchMessage(const std::string& name, const std::string& extensionIdentifier,
                               const std::optional<Json>& userInfo, ErrorCompletion completion) = 0;
  // The extension's state, or an error; both absent when the browser answered nothing
  // usable.
  virtual void getStateOfSafariExtension(const std::string& extensionIdentifier,
                                         StateCompletion completion) = 0;
  // Opens the browser's settings showing the extension.
  virtual void showPreferencesForExtension(const std::string& extensionIdentifier,
                                           ErrorCompletion completion) = 0;
};

}  // namespace qv
