#include "safari-host/ContentScriptApi.h"

#include <cstdint>
#include <cstdio>

#include "ipc/Frame.h"
#include "platform/JsonFields.h"

namespace qv::host {
namespace {

// Name of the world-private function page.dispatchMessageToScript calls.
constexpr const char* kDeliverFunction = "__qvSafariDeliverMessage";

std::string identifierHash(const std::string& identifier) {
  // FNV-1a: stable across runs, and keeps the names unique whatever the identifier holds.
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : identifier) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// The API script. HANDLER and DELIVER are replaced by JSON string literals.
constexpr const char* kApiTemplate = R"JS((function () {
  "use strict";
  const handlers = window.webkit && window.webkit.messageHandlers;
  const channel = handlers && handlers[HANDLER];
  if (!channel || Object.prototype.hasOwnProperty.call(window, "safari")) return;
  const stringify = JSON.stringify;
  const post = channel.postMessage.bind(channel);
  const listeners = [];
  const callable = (listener) =>
    typeof listener === "function" ||
    (listener !== null && typeof listener === "object" && typeof listener.handleEvent === "function");
  const extension = Object.freeze({
    dispatchMessage(name, userInfo) {
      if (typeof name !== "string") throw new TypeError("dispatchMessage: the name must be a string");
      if (userInfo !== undefined && userInfo !== null && typeof userInfo !== "object") {
        throw new TypeError("dispatchMessage: userInfo must be an object");
      }
      post(stringify({name: name, userInfo: userInfo === undefined ? null : userInfo}));
    },
  });
  const self = Object.freeze({
    addEventListener(type, listener) {
      if (type === "message" && callable(listener) && !listeners.includes(listener)) listeners.push(listener);
    },
    removeEventListener(type, listener) {
      const index = type === "message" ? listeners.indexOf(listener) : -1;
      if (index >= 0) listeners.splice(index, 1);
    },
  });
  const fixed = {enumerable: false, configurable: false, writable: false};
  Object.defineProperty(window, "safari", Object.assign({value: Object.freeze({extension, self})}, fixed));
  Object.defineProperty(window, DELIVER, Object.assign({value: function (name, message) {
    const event = Object.freeze({name: name, message: message === null ? undefined : message});
    for (const listener of listeners.slice()) {
      try {
        if (typeof listener === "function") listener.call(self, event); else listener.handleEvent(event);
      } catch (error) {
        console.error(error);
      }
    }
  }}, fixed));
})();
)JS";

void replaceAll(std::string& text, const std::string& placeholder, const std::string& value) {
  for (std::size_t at = text.find(placeholder); at != std::string::npos;
       at = text.find(placeholder, at + value.size())) {
    text.replace(at, placeholder.size(), value);
  }
}

}  // namespace

std::string scriptWorldName(const std::string& extensionIdentifier) {
  std::string readable;
  for (char c : extensionIdentifier.substr(0, 64)) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '-';
    readable += plain ? c : '_';
  }
  return "qv-extension-" + readable + "-" + identifierHash(extensionIdentifier);
}

std::string messageHandlerName(const std::string& extensionIdentifier) {
  return "qvSafariExtension_" + identifierHash(extensionIdentifier);
}

std::string contentScriptApiSource(const std::string& handlerName) {
  std::string source = kApiTemplate;
  replaceAll(source, "HANDLER", javaScriptLiteral(Json(handlerName)).value_or("\"\""));
  replaceAll(source, "DELIVER", javaScriptLiteral(Json(kDeliverFunction)).value_or("\"\""));
  return source;
}

std::optional<std::string> deliverMessageScript(const std::string& name, const Json& userInfo) {
  if (!userInfo.is_object() && !userInfo.is_null()) return std::nullopt;
  std::optional<std::string> nameLiteral = javaScriptLiteral(Json(name));
  std::optional<std::string> userInfoLiteral = javaScriptLiteral(userInfo);
  std::optional<std::string> functionLiteral = javaScriptLiteral(Json(kDeliverFunction));
  if (!nameLiteral || !userInfoLiteral || !functionLiteral) return std::nullopt;
  return "(function (deliver) { if (typeof deliver === \"function\") deliver(" + *nameLiteral +
         ", " + *userInfoLiteral + "); })(window[" + *functionLiteral + "]); undefined;";
}

std::optional<PostedMessage> parsePostedMessage(const std::string& bodyJson) {
  Json body = Json::parse(bodyJson, nullptr, /*allow_exceptions=*/false);
  if (body.is_discarded() || !body.is_string()) return std::nullopt;
  Json message = Json::parse(body.get<std::string>(), nullptr, /*allow_exceptions=*/false);
  if (message.is_discarded() || !message.is_object() || !ipc::jsonDepthWithin(message)) {
    return std::nullopt;
  }
  std::optional<std::string> name = json::string(message, "name");
  if (!name) return std::nullopt;
  const Json* userInfo = json::object(message, "userInfo");
  return PostedMessage{std::move(*name), userInfo != nullptr ? *userInfo : Json(nullptr)};
}

std::optional<std::string> javaScriptLiteral(const Json& value) {
  if (!ipc::jsonDepthWithin(value)) return std::nullopt;
  // ensure_ascii also escapes U+2028 and U+2029, which older engines reject in literals.
  return value.dump(-1, ' ', /*ensure_ascii=*/true, Json::error_handler_t::replace);
}

}  // namespace qv::host
