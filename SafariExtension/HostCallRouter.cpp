#include "SafariExtension/HostCallRouter.h"

#include "ipc/Protocol.h"
#include "platform/JsonFields.h"

namespace qv {
namespace {

namespace handler = ipc::handler;

// User info as the handler takes it: absent when missing or null.
std::optional<Json> userInfoArg(const Json& args) {
  const Json* userInfo = json::member(args, "userInfo");
  if (userInfo == nullptr || userInfo->is_null()) return std::nullopt;
  return *userInfo;
}

}  // namespace

HostCallRouter::HostCallRouter(const Env& env)
    : env_(env),
      calls_(handler::methods,
             [&env](const std::string& method, const ipc::Error& error) {
               env.platform.systemLog->error("Error: ipc: " + method + ": " + error.message);
             }),
      parts_(promise_.get_future().share()) {
  calls_.on(handler::messageReceived, this, &HostCallRouter::messageReceived);
  calls_.on(handler::validateToolbarItem, this, &HostCallRouter::validateToolbarItem);
  calls_.on(handler::popoverWillShow, this, &HostCallRouter::popoverWillShow);
  calls_.on(handler::popoverDidClose, this, &HostCallRouter::popoverDidClose);
  calls_.on(handler::messageReceivedFromContainingApp, this,
            &HostCallRouter::messageReceivedFromContainingApp);
  calls_.on(handler::evaluatePopover, this, &HostCallRouter::evaluatePopover);
  calls_.on(handler::popoverScreenshot, this, &HostCallRouter::popoverScreenshot);
  calls_.on(handler::showWebInspector, this, &HostCallRouter::showWebInspector);
  calls_.on(handler::reloadBackgroundPage, this, &HostCallRouter::reloadBackgroundPage);
}

HostCallRouter::~HostCallRouter() {
  // Empty parts: no host, so every waiting call answers "shutting down".
  if (!connected_) promise_.set_value(Parts{});
}

void HostCallRouter::connect(Parts parts) {
  connected_ = true;
  promise_.set_value(std::move(parts));
}

std::optional<SafariExtensionHandler> HostCallRouter::makeHandler(
    const ipc::Responder& responder) const {
  const Parts& parts = parts_.get();
  std::shared_ptr<SharedViewController> host = parts.host.lock();
  if (!host) {
    responder.fail("the extension is shutting down");
    return std::nullopt;
  }
  return SafariExtensionHandler(env_, parts.application, parts.registry, std::move(host),
                                parts.signInFlow);
}

std::shared_ptr<SafariWindow> HostCallRouter::windowArg(const Json& args) const {
  std::optional<std::string> window = json::string(args, "window");
  return window ? parts_.get().window(*window) : nullptr;
}

void HostCallRouter::messageReceived(const Json& args, const ipc::Responder& responder) {
  std::optional<SafariExtensionHandler> handler = makeHandler(responder);
  if (!handler) return;
  handler->messageReceived(*json::string(args, "name"),
                           parts_.get().page(*json::string(args, "page")), userInfoArg(args));
  responder.reply();
}

void HostCallRouter::validateToolbarItem(const Json& args, const ipc::Responder& responder) {
  std::optional<SafariExtensionHandler> handler = makeHandler(responder);
  if (!handler) return;
  // The item is validated even with no window to name.
  handler->validateToolbarItem(
      windowArg(args), [responder](bool enabled, const std::string& badgeText) {
        responder.reply(Json{{"enabled", enabled}, {"badgeText", badgeText}});
      });
}

// safari-host cannot embed our view, so we show the popover's window ourselves.
void HostCallRouter::popoverWillShow(const Json& args, const ipc::Responder& responder) {
  std::optional<SafariExtensionHandler> handler = makeHandler(responder);
  if (!handler) return;
  handler->popoverWillShow(windowArg(args));
  responder.reply();
}

void HostCallRouter::popoverDidClose(const Json& args, const ipc::Responder& responder) {
  std::optional<SafariExtensionHandler> handler = makeHandler(responder);
  if (!handler) return;
  handler->popoverDidClose(windowArg(args));
  responder.reply();
}

void HostCallRouter::messageReceivedFromContainingApp(const Json& args,
                                                      const ipc::Responder& responder) {
  std::optional<SafariExtensionHandler> handler = makeHandler(responder);
  if (!handler) return;
  handler->messageReceivedFromContainingApp(*json::string(args, "name"), userInfoArg(args));
  responder.reply();
}

void HostCallRouter::onWebViews(const ipc::Responder& responder,
                                std::function<void(WebViewFactory&)> work) const {
  // WebKit is touched on the main thread only.
  env_.platform.mainQueue->async(
      [webViews = parts_.get().webViews, responder, work = std::move(work)] {
        std::shared_ptr<WebViewFactory> factory = webViews.lock();
        if (!factory) return responder.fail("the extension is shutting down");
        work(*factory);
      });
}

// Automation for tests and demos: the popover's page lives in this process, out of the
// browser's reach, so the browser passes these on.
void HostCallRouter::evaluatePopover(const Json& args, const ipc::Responder& responder) {
  onWebViews(responder, [script = *json::string(args, "script"), responder](WebViewFactory& views) {
    views.evaluateInShownPopover(script,
                                 [responder](std::optional<Json> value, const std::string& error) {
                                   if (!value) return responder.fail(error);
                                   responder.reply(Json{{"value", std::move(*value)}});
                                 });
  });
}

void HostCallRouter::popoverScreenshot(const Json& args, const ipc::Responder& responder) {
  std::string path = *json::string(args, "path");
  if (path.empty()) return responder.fail("popoverScreenshot needs a path");
  onWebViews(responder, [path, responder](WebViewFactory& views) {
    views.snapshotShownPopover(path, [responder](std::optional<std::string> error) {
      if (error) return responder.fail(*error);
      responder.reply();
    });
  });
}

// The browser's Develop menu.
void HostCallRouter::showWebInspector(const Json& args, const ipc::Responder& responder) {
  const std::string target = *json::string(args, "target");
  if (target != "background" && target != "popup") {
    return responder.fail("no web view is called " + target);
  }
  // A handler builds the background page first, should this be the process's first call.
  if (!makeHandler(responder)) return;
  using View = WebViewFactory::InspectedView;
  const View view = target == "background" ? View::hidden : View::popover;
  onWebViews(responder, [view, target, responder, log = env_.platform.systemLog](
                            WebViewFactory& views) {
    if (views.showInspector(view)) return responder.reply();
    log->error("Error: no " + target + " web view to inspect");
    responder.fail("no " + target + " web view to inspect");
  });
}

void HostCallRouter::reloadBackgroundPage(const Json&, const ipc::Responder& responder) {
  std::optional<SafariExtensionHandler> handler = makeHandler(responder);
  if (!handler) return;
  handler->reloadBackgroundPage();
  responder.reply();
}

}  // namespace qv
