#include "SafariExtension/SafariExtensionHandler.h"

#include "SafariExtension/ExtensionLog.h"
#include "platform/EnumNames.h"
#include "platform/JsonFields.h"

namespace qv {
namespace {

// userInfo → "meta" → "srcPageId", each step of the right type.
std::optional<std::string> sourcePageId(const std::optional<Json>& userInfo) {
  const Json* meta = userInfo ? json::member(*userInfo, "meta") : nullptr;
  return meta != nullptr ? json::string(*meta, "srcPageId") : std::nullopt;
}

// userInfo → "data" when it is an object; anything else counts as no arguments.
std::optional<Json> messageArguments(const std::optional<Json>& userInfo) {
  const Json* data = userInfo ? json::object(*userInfo, "data") : nullptr;
  if (data == nullptr) return std::nullopt;
  return *data;
}

using Handler = SafariExtensionHandler::Handler;
constexpr EnumName<Handler> kHandlerNames[] = {
    {Handler::unregisterPage, "unregisterPage"}, {Handler::activePage, "activePage"},
    {Handler::passToBgPage, "passToBgPage"},     {Handler::beginOAuth, "beginOAuth"},
    {Handler::closeLoginTab, "closeLoginTab"},   {Handler::oauthExchange, "oauthExchange"}};

}  // namespace

std::string_view SafariExtensionHandler::toString(Handler handler) {
  return enumName(kHandlerNames, handler);
}

std::optional<SafariExtensionHandler::Handler> SafariExtensionHandler::handlerFromString(
    std::string_view name) {
  return enumValue(kHandlerNames, name);
}

SafariExtensionHandler::SafariExtensionHandler(const Env& env,
                                               std::shared_ptr<SafariApplication> application,
                                               std::shared_ptr<PageRegistry> registry,
                                               std::shared_ptr<SharedViewController> host,
                                               std::shared_ptr<SignInFlow> signInFlow)
    : env_(env),
      tabs_(std::move(application)),
      registry_(std::move(registry)),
      host_(std::move(host)),
      signInFlow_(std::move(signInFlow)) {
  // Safari makes a handler for every event: only the first has the host to build, and
  // every later one would cost the main loop a task for nothing.
  if (!host_->isBuilt()) env_.platform.mainQueue->async([host = host_] { host->instance(); });
}

void SafariExtensionHandler::onMainQueue(std::function<void(SafariExtensionViewController&)> work) {
  env_.platform.mainQueue->async(
      [host = host_, work = std::move(work)] { work(host->instance()); });
}

void SafariExtensionHandler::messageReceived(const std::string& name,
                                             std::shared_ptr<SafariPage> page,
                                             const std::optional<Json>& userInfo) {
  std::optional<std::string> pageId = sourcePageId(userInfo);
  if (!pageId) {
    logError(env_, NativeLogger::pageHandleMessageUnknownSrcPageId, "Message name: " + name);
    return;
  }
  // Every message with a page id registers its page, whatever its name.
  registry_->registerPage(*pageId, std::move(page));
  std::optional<Handler> handler = handlerFromString(name);
  if (!handler) {
    logError(env_, NativeLogger::pageHandleMessageUnknownMessageName, "Message name: " + name);
    return;
  }
  std::optional<Json> arguments = messageArguments(userInfo);
  auto signIn = signInFlow_;
  switch (*handler) {
    case Handler::unregisterPage:
      registry_->unregisterPage(*pageId);
      return;
    case Handler::activePage: {
      std::optional<std::string> url = arguments ? json::string(*arguments, "url") : std::nullopt;
      if (!url) {
        logError(env_, NativeLogger::pageActivePage, "Missing url field");
        return;
      }
      onMainQueue([pageId = *pageId, url = *url](SafariExtensionViewController& host) {
        host.reportActiveTab(pageId, url);
      });
      return;
    }
    case Handler::passToBgPage:
      onMainQueue([arguments = std::move(arguments)](SafariExtensionViewController& host) {
        host.passToBackgroundPage(arguments);
      });
      return;
    case Handler::beginOAuth:
      if (signIn) env_.platform.mainQueue->async([signIn] { signIn->beginOAuth(false); });
      return;
    case Handler::closeLoginTab:
      if (signIn) env_.platform.mainQueue->async([signIn] { signIn->closeLoginTab(); });
      return;
    case Handler::oauthExchange:
      if (signIn) {
        std::optional<std::string> redirectUrl =
            arguments ? json::string(*arguments, "redirectUrl") : std::nullopt;
        env_.platform.mainQueue->async([signIn, redirectUrl = std::move(redirectUrl)] {
          signIn->oauthExchangeFromRedirectUrl(redirectUrl);
        });
      }
      return;
  }
}

void SafariExtensionHandler::validateToolbarItem(std::shared_ptr<SafariWindow> /*window*/,
                                                 const ValidationHandler& validationHandler) {
  // Always enabled; the badge is the background page's to set.
  if (validationHandler) validationHandler(true, "");
  broadcastReportActive();
}

void SafariExtensionHandler::broadcastReportActive() {
  tabs_.withEachActiveTabPage([](std::shared_ptr<SafariPage> page) {
    page->dispatchMessageToScript(std::string(bridge::reportActiveMessage), std::nullopt);
  });
}

void SafariExtensionHandler::popoverWillShow(std::shared_ptr<SafariWindow> /*window*/) {
  onMainQueue([](SafariExtensionViewController& host) { host.popoverWillShow(); });
}

void SafariExtensionHandler::popoverDidClose(std::shared_ptr<SafariWindow> /*window*/) {
  onMainQueue([](SafariExtensionViewController& host) { host.popoverDidClose(); });
}

void SafariExtensionHandler::reloadBackgroundPage() {
  onMainQueue([](SafariExtensionViewController& host) { host.loadBackgroundTemplate(); });
}

void SafariExtensionHandler::messageReceivedFromContainingApp(
    const std::string& /*name*/, const std::optional<Json>& /*userInfo*/) {}

}  // namespace qv
