#pragma once

#include <optional>
#include <string>

#include "platform/Json.h"

namespace qv::host {

// The JavaScript side of content scripts: the `safari` object installed in each
// extension's own script world, and the text the browser evaluates there. Pure
// functions; any thread.

// The script world an extension's content scripts and style sheets live in. Distinct
// per identifier; page scripts never run in it.
std::string scriptWorldName(const std::string& extensionIdentifier);
// The script message channel (window.webkit.messageHandlers[…]) of that world.
std::string messageHandlerName(const std::string& extensionIdentifier);

// Installs, in the world, `safari.extension.dispatchMessage(name, userInfo)` and
// `safari.self.addEventListener/removeEventListener("message", listener)`. Messages are
// posted on `handlerName` as one JSON text {"name", "userInfo"}.
std::string contentScriptApiSource(const std::string& handlerName);

// Calls every "message" listener of the world with {name, message}; `userInfo` null
// arrives as undefined. Both values enter the script only as JSON literals, so nothing
// in them can run as code. Absent when `userInfo` is neither an object nor null, or is
// nested too deeply to encode.
std::optional<std::string> deliverMessageScript(const std::string& name, const Json& userInfo);

// A message a content script posted, as the channel's body serialised to JSON
// (jsc_value_to_json). Absent when it is not what contentScriptApiSource() posts.
struct PostedMessage {
  std::string name;
  Json userInfo;  // an object, or null
};
std::optional<PostedMessage> parsePostedMessage(const std::string& bodyJson);

// `value` as a JavaScript literal: JSON with every non-ASCII character escaped.
// Absent when nested too deeply.
std::optional<std::string> javaScriptLiteral(const Json& value);

}  // namespace qv::host
