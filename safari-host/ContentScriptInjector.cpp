#include "safari-host/ContentScriptInjector.h"

#include <webkit/webkit.h>

#include "platform/linux/system/Trace.h"
#include "safari-host/Log.h"

namespace qv::host {
namespace {

// Only top-level web documents get content scripts.
const char* const kWebPages[] = {"http://*/*", "https://*/*", nullptr};

}  // namespace

struct ContentScriptInjector::Channel {
  ContentScriptInjector* owner = nullptr;
  std::string extensionIdentifier;
  std::string handlerName;
  std::string worldName;
  gulong signalId = 0;
};

ContentScriptInjector::ContentScriptInjector(WebKitUserContentManager* manager, OnMessage onMessage)
    : manager_(GObjectRef<WebKitUserContentManager>::retain(manager)),
      onMessage_(std::move(onMessage)) {}

ContentScriptInjector::~ContentScriptInjector() {
  removeAll();
}

void ContentScriptInjector::removeAll() {
  for (const auto& channel : channels_) {
    g_signal_handler_disconnect(manager_.get(), channel->signalId);
    webkit_user_content_manager_unregister_script_message_handler(
        manager_.get(), channel->handlerName.c_str(), channel->worldName.c_str());
  }
  channels_.clear();
  webkit_user_content_manager_remove_all_scripts(manager_.get());
  webkit_user_content_manager_remove_all_style_sheets(manager_.get());
  installed_.clear();
}

void ContentScriptInjector::install(
    const std::vector<std::shared_ptr<const ExtensionInfo>>& extensions) {
  if (extensions == installed_) return;
  removeAll();
  for (const auto& extension : extensions) {
    auto channel = std::make_unique<Channel>();
    channel->owner = this;
    channel->extensionIdentifier = extension->identifier;
    channel->handlerName = messageHandlerName(extension->identifier);
    channel->worldName = scriptWorldName(extension->identifier);
    const char* world = channel->worldName.c_str();

    if (!webkit_user_content_manager_register_script_message_handler(
            manager_.get(), channel->handlerName.c_str(), world)) {
      logError("cannot open the message channel of " + extension->identifier);
      continue;
    }
    std::string signal = "script-message-received::" + channel->handlerName;
    channel->signalId = g_signal_connect(
        manager_.get(), signal.c_str(),
        G_CALLBACK(+[](WebKitUserContentManager*, JSCValue* value, Channel* self) {
          GCharPtr json(jsc_value_to_json(value, 0));
          if (!json) return;
          if (std::optional<PostedMessage> message = parsePostedMessage(json.get())) {
            if (!trace::enabled())
              return self->owner->onMessage_(self->extensionIdentifier, *message);
            // Each message from a page starts a path of its own in the trace.
            trace::KeyScope key(trace::newKey());
            trace::Scope slice("page message", trace::Flow::Begin);
            self->owner->onMessage_(self->extensionIdentifier, *message);
          } else {
            logError("dropped a malformed message from a content script of " +
                     self->extensionIdentifier);
          }
        }),
        channel.get());

    auto addScript = [&](const std::string& source, WebKitUserScriptInjectionTime time) {
      WebKitUserScript* script = webkit_user_script_new_for_world(
          source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME, time, world, kWebPages, nullptr);
      webkit_user_content_manager_add_script(manager_.get(), script);
      webkit_user_script_unref(script);
    };
    addScript(contentScriptApiSource(channel->handlerName),
              WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START);
    for (const std::string& source : extension->contentScripts) {
      addScript(source, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END);
    }
    for (const std::string& source : extension->styleSheets) {
      WebKitUserStyleSheet* sheet = webkit_user_style_sheet_new_for_world(
          source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME, WEBKIT_USER_STYLE_LEVEL_USER, world,
          kWebPages, nullptr);
      webkit_user_content_manager_add_style_sheet(manager_.get(), sheet);
      webkit_user_style_sheet_unref(sheet);
    }
    channels_.push_back(std::move(channel));
  }
  installed_ = extensions;
}

}  // namespace qv::host
