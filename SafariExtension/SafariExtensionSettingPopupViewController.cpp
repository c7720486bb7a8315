#include "SafariExtension/SafariExtensionSettingPopupViewController.h"

#include <cmath>
#include <iterator>
#include <utility>
#include <variant>

#include "Common/FatalError.h"
#include "SafariExtension/BridgeFormats.h"
#include "SafariExtension/ExtensionLog.h"
#include "platform/EnumNames.h"
#include "platform/JsonFields.h"
#include "platform/Url.h"

namespace qv {
namespace {

constexpr std::string_view pageBeforeStyleSheet =
    "<!doctype html>\n"
    "<html lang=\"en\" class=\"qv-popup-wrapper\">\n"
    "<head>\n"
    "<meta http-equiv=\"X-UA-Compatible\" content=\"IE=edge\" />\n"
    "<meta charset=\"UTF-8\">\n"
    "<title>Settings Popup</title>\n"
    "<style>\n";
constexpr std::string_view pageAfterStyleSheet =
    "\n</style>\n"
    "</head>\n"
    "<body class=\"qv-popup-wrapper\">\n"
    "<div class=\"popup\" style='margin:0;overflow:hidden;min-height:200px;'></div>\n"
    "</body>\n"
    "</html>";

// A size the popover can take: a finite, non-negative number.
std::optional<double> dimension(const Json& data, const char* key) {
  std::optional<double> value = json::number(data, key);
  if (!value || *value < 0) return std::nullopt;
  return value;
}

// The resource's text; a missing resource is a broken installation.
std::variant<std::string, ReadError> readResource(const Bundle& bundle, const std::string& name,
                                                  const std::string& type) {
  auto path = bundle.pathForResource(name, type);
  if (!path) QV_FATAL("The extension bundle has no " + name + "." + type);
  return bundle.contentsOfFile(*path);
}

using Handler = SafariExtensionSettingPopupViewController::Handler;
constexpr EnumName<Handler> kHandlerNames[] = {
    {Handler::sendToBgFromSettingsPopup, "sendToBgFromSettingsPopup"},
    {Handler::settingPopupReady, "settingPopupReady"},
    {Handler::openUrl, "openUrl"},
    {Handler::setPopupSize, "setPopupSize"},
    {Handler::beginOAuth, "beginOAuth"},
    {Handler::closePopup, "closePopup"}};

}  // namespace

std::string_view SafariExtensionSettingPopupViewController::toString(Handler handler) {
  return enumName(kHandlerNames, handler);
}

std::optional<SafariExtensionSettingPopupViewController::Handler>
SafariExtensionSettingPopupViewController::handlerFromString(std::string_view name) {
  return enumValue(kHandlerNames, name);
}

std::string SafariExtensionSettingPopupViewController::pageHtml(std::string_view styleSheet) {
  std::string page;
  page.reserve(pageBeforeStyleSheet.size() + styleSheet.size() + pageAfterStyleSheet.size());
  page.append(pageBeforeStyleSheet).append(styleSheet).append(pageAfterStyleSheet);
  return page;
}

std::optional<std::string> SafariExtensionSettingPopupViewController::baseUrl(
    const Deployment& deployment) {
  auto components = UrlComponents::https(deployment.bareDomain, "/popup");
  return components ? components->string() : std::nullopt;
}

SafariExtensionSettingPopupViewController::SafariExtensionSettingPopupViewController(
    const Env& env, std::shared_ptr<SafariApplication> application,
    std::shared_ptr<SignInFlow> signInFlow)
    : env_(env), tabs_(std::move(application)), signInFlow_(std::move(signInFlow)) {}

SafariExtensionSettingPopupViewController::~SafariExtensionSettingPopupViewController() = default;

void SafariExtensionSettingPopupViewController::install(PopoverViewController& popover) {
  popover_ = &popover;
  settingPopupWebView_ = popover.view().makeContentWebView();
  if (!settingPopupWebView_) QV_FATAL("The settings popup's web view could not be created");
  WebView& webView = *settingPopupWebView_;
  for (Handler handler : allHandlers) {
    std::string name(toString(handler));
    webView.addScriptMessageHandler(
        name, [this, name](const Json& body) { userContentController(name, body); });
  }

  webView.setWebProcessEndedHandler(
      [this](std::vector<std::string> unfinished) { handleWebProcessEnded(std::move(unfinished)); });

  const Bundle& bundle = *env_.platform.mainBundle;
  auto script = readResource(bundle, "Quorvane-popup", "js");
  if (auto* error = std::get_if<ReadError>(&script)) {
    logError(env_, NativeLogger::settingPopupWebViewInitScripts, error->localizedDescription);
  } else {
    webView.addUserScript(std::get<std::string>(script));
  }
  loadPage();
}

void SafariExtensionSettingPopupViewController::loadPage() {
  auto styleSheet = readResource(*env_.platform.mainBundle, "Quorvane-popup.styles", "css");
  if (auto* error = std::get_if<ReadError>(&styleSheet)) {
    logError(env_, NativeLogger::settingPopupWebViewInitLoadTemplate, error->localizedDescription);
    return;
  }
  settingPopupWebView_->loadHtmlString(pageHtml(std::get<std::string>(styleSheet)),
                                       baseUrl(env_.deployment));
}

void SafariExtensionSettingPopupViewController::handleWebProcessEnded(
    std::vector<std::string> unfinished) {
  env_.platform.systemLog->error("The settings popup's web process ended; reloading it");
  isSettingPopupPageReady_ = false;
  recovering_ = true;
  // Calls that never ran in the dead page go first, in their order.
  recoveryQueue_.insert(recoveryQueue_.begin(), std::make_move_iterator(unfinished.begin()),
                        std::make_move_iterator(unfinished.end()));
  if (settingPopupWebView_) loadPage();
}

void SafariExtensionSettingPopupViewController::uninstall() {
  settingPopupWebView_.reset();
  popover_ = nullptr;
}

void SafariExtensionSettingPopupViewController::userContentController(const std::string& name,
                                                                      const Json& body) {
  std::optional<Handler> handler = handlerFromString(name);
  if (!handler) {
    logError(env_, NativeLogger::settingsPopupHandleMessageUnknownMessageName,
             "Message name: " + name);
    return;
  }
  handle(*handler, body);
}

void SafariExtensionSettingPopupViewController::handle(Handler handler, const Json& body) {
  switch (handler) {
    case Handler::sendToBgFromSettingsPopup:
      return sendToBackground(body);
    case Handler::settingPopupReady:
      return settingPopupReady();
    case Handler::openUrl:
      return openUrl(body);
    case Handler::setPopupSize:
      return setPopupSize(body);
    case Handler::beginOAuth:
      // Sign-in opens in the current window; the popover stays open.
      if (signInFlow_) signInFlow_->beginOAuth(/*forceNewWindow=*/false);
      return;
    case Handler::closePopup:
      if (popover_) popover_->dismissPopover();
      return;
  }
}

void SafariExtensionSettingPopupViewController::logInvalidMessage(Handler handler) const {
  logError(env_, NativeLogger::settingsPopupHandleMessageInvalidMessage,
           std::string(toString(handler)));
}

void SafariExtensionSettingPopupViewController::sendToBackground(const Json& body) {
  if (!body.is_object()) return logInvalidMessage(Handler::sendToBgFromSettingsPopup);
  const Json* data = json::object(body, "data");
  // The same checks as a content page's "passToBgPage": one valid JSON text or nothing.
  if (popover_) popover_->passToBackgroundPage(data ? std::optional<Json>(*data) : std::nullopt);
}

void SafariExtensionSettingPopupViewController::openUrl(const Json& body) {
  const Json* data = json::object(body, "data");
  std::optional<std::string> url = data ? json::string(*data, "json") : std::nullopt;
  // A string that forms no URL opens nothing.
  if (!url || !UrlComponents::parse(*url)) return logInvalidMessage(Handler::openUrl);
  FutureFunc::run(tabs_.openTab(*url, /*forceNewWindow=*/false, /*activate=*/true));
}

void SafariExtensionSettingPopupViewController::setPopupSize(const Json& body) {
  const Json* data = json::object(body, "data");
  std::optional<double> width = data ? dimension(*data, "width") : std::nullopt;
  std::optional<double> height = data ? dimension(*data, "height") : std::nullopt;
  if (!width || !height) return logInvalidMessage(Handler::setPopupSize);
  if (!popover_) return;
  ContentSize size{*width, *height};
  popover_->view().setContentSize(size);
  popover_->setPreferredContentSize(size);
}

void SafariExtensionSettingPopupViewController::settingPopupReady() {
  isSettingPopupPageReady_ = true;
  recovering_ = false;
  // The queue is kept: a reloaded popup that is ready again gets the same messages. What
  // waited out a crash is delivered once, after them.
  for (const QueuedMessage& message : settingsPopupMessageQueue_) {
    deliver(message.name, message.data);
  }
  for (const std::string& call : std::exchange(recoveryQueue_, {})) {
    if (settingPopupWebView_) settingPopupWebView_->evaluateJavaScript(call);
  }
}

void SafariExtensionSettingPopupViewController::sendToSettingsPopup(
    const std::string& name, const std::optional<Json>& data) {
  if (isSettingPopupPageReady_) return deliver(name, data);
  if (!recovering_) {
    settingsPopupMessageQueue_.push_back({name, data});
    return;
  }
  std::optional<std::string> call = callFor(name, data);
  if (!call) return;
  // A popup that never comes back must not make the queue grow without end.
  if (recoveryQueue_.size() >= maxRecoveryQueue) recoveryQueue_.erase(recoveryQueue_.begin());
  recoveryQueue_.push_back(std::move(*call));
}

std::optional<std::string> SafariExtensionSettingPopupViewController::callFor(
    const std::string& name, const std::optional<Json>& data) {
  std::optional<std::string> json =
      data && data->is_object() && !data->empty() ? json::string(*data, "json") : std::nullopt;
  // Name and text go in as string literals, so whatever they hold they stay two strings.
  std::optional<std::string> call = json ? bridge::settingsPopupCall(name, *json) : std::nullopt;
  if (!call) logError(env_, NativeLogger::settingsPopupSendToSettingsPopup, "Invalid json field");
  return call;
}

void SafariExtensionSettingPopupViewController::deliver(const std::string& name,
                                                       const std::optional<Json>& data) {
  std::optional<std::string> call = callFor(name, data);
  if (call && settingPopupWebView_) settingPopupWebView_->evaluateJavaScript(*call);
}

}  // namespace qv
