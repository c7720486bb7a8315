#include "SafariExtension/SafariExtensionViewController.h"

#include <iterator>
#include <utility>
#include <variant>

#include "Common/FatalError.h"
#include "SafariExtension/ExtensionLog.h"
#include "platform/JsonFields.h"
#include "platform/Url.h"

namespace qv {
namespace {

std::optional<std::string> bareDomainUrl(const Deployment& deployment) {
  auto components = UrlComponents::https(deployment.bareDomain, "");
  return components ? components->string() : std::nullopt;
}

}  // namespace

SafariExtensionViewController::SafariExtensionViewController(const Env& env,
                                                             ExtensionPlatform browser,
                                                             std::shared_ptr<PageRegistry> registry,
                                                             BackgroundPageHooks hooks)
    : env_(env),
      mainQueue_(env.platform.mainQueue),
      application_(browser.application),
      baseUrl_(bareDomainUrl(env.deployment)),
      hooks_(std::move(hooks)),
      dispatcher_(
          env, browser.application, std::move(registry), hooks_,
          [queue = mainQueue_, alive = std::weak_ptr<bool>(alive_), this](std::string json) {
            evaluateIfReadyLater(*queue, alive, this,
                                 bridge::makeCall(bridge::receiveBlacklistConfigPrefix, json));
          }) {
  // The companion hand-off: the sign-in flow supplies what each tick does.
  poll_ = mainQueue_->scheduleRepeating(pollInterval, [this] {
    auto step = hooks_.pollStep;  // a copy: the step may replace the hooks
    if (step) step();
  });

  webView_ = browser.webViewFactory->makeHiddenWebView();
  if (!webView_) QV_FATAL("The background page's web view could not be created");
  if (!webView_->isDataStorePersistent()) {
    logError(env_, NativeLogger::bgWebViewInitDataStore,
             "default WebsiteDataStore is not persistent");
  }
  for (Handler handler : allBackgroundHandlers) {
    webView_->addScriptMessageHandler(
        std::string(toString(handler)),
        [this, handler](const Json& body) { handleScriptMessage(handler, body); });
  }
  webView_->setWebProcessEndedHandler(
      [this](std::vector<std::string> unfinished) { handleWebProcessEnded(std::move(unfinished)); });
  installUserScripts();
  loadBackgroundTemplate();

  view_ = browser.webViewFactory->makePopoverWindow(defaultViewSize);
  if (!view_) QV_FATAL("The popover's window could not be created");
  preferredContentSize_ = defaultViewSize;
  if (hooks_.settingsPopup) hooks_.settingsPopup->install(*this);
}

SafariExtensionViewController::~SafariExtensionViewController() {
  // The popup keeps this host as its popover until told otherwise.
  if (hooks_.settingsPopup) hooks_.settingsPopup->uninstall();
}

void SafariExtensionViewController::setHooks(BackgroundPageHooks hooks) {
  std::shared_ptr<SettingsPopup> previous = hooks_.settingsPopup;
  hooks_ = std::move(hooks);
  if (previous == hooks_.settingsPopup) return;
  if (previous) previous->uninstall();
  if (hooks_.settingsPopup) hooks_.settingsPopup->install(*this);
}

void SafariExtensionViewController::popoverWillShow() {
  view_->show();
}

void SafariExtensionViewController::popoverDidClose() {
  view_->hide();
}

void SafariExtensionViewController::dismissPopover() {
  view_->hide();
  application_->dismissPopover();
}

void SafariExtensionViewController::installUserScripts() {
  // Built once: a page reloaded later still sees the container id from start-up.
  if (auto initArgs = bridge::bgInitArgsScript(env_.sharedData->companionContainerId.value())) {
    webView_->addUserScript(*initArgs);
  }
  const Bundle& bundle = *env_.platform.mainBundle;
  for (const std::string& name : scriptNames_) {
    auto path = bundle.pathForResource(name, "js");
    if (!path) QV_FATAL("The extension bundle has no script " + name + ".js");
    auto contents = bundle.contentsOfFile(*path);
    if (auto* error = std::get_if<ReadError>(&contents)) {
      std::string message = "Error adding user scripts: " + error->localizedDescription;
      logError(env_, NativeLogger::bgWebViewInitScripts, message);
      QV_FATAL(message);
    }
    webView_->addUserScript(std::get<std::string>(contents));
  }
}

void SafariExtensionViewController::loadBackgroundTemplate() {
  const Bundle& bundle = *env_.platform.mainBundle;
  auto path = bundle.pathForResource("bg_index", "html");
  if (!path) QV_FATAL("The extension bundle has no template bg_index.html");
  auto contents = bundle.contentsOfFile(*path);
  if (auto* error = std::get_if<ReadError>(&contents)) {
    logError(env_, NativeLogger::bgWebViewInitLoadBgTemplate, error->localizedDescription);
    return;
  }
  webView_->loadHtmlString(std::get<std::string>(contents), baseUrl_);
}

void SafariExtensionViewController::handleScriptMessage(Handler handler, const Json& body) {
  switch (handler) {
    case Handler::ready:
      return handleReady();
    case Handler::reloadBgPage:
      return loadBackgroundTemplate();
    default:
      return dispatcher_.dispatch(handler, body);
  }
}

void SafariExtensionViewController::handleReady() {
  isBackgroundPageReady_ = true;
  recovering_ = false;
  // The early queue is kept: a page reloaded later and ready again gets the early calls
  // again. What waited out a crash runs once, after them.
  for (const std::string& call : backgroundPageQueue_) webView_->evaluateJavaScript(call);
  std::vector<std::string> recovered = std::exchange(recoveryQueue_, {});
  for (const std::string& call : recovered) webView_->evaluateJavaScript(call);
}

void SafariExtensionViewController::handleWebProcessEnded(std::vector<std::string> unfinished) {
  env_.platform.systemLog->error("The background page's web process ended; reloading it");
  isBackgroundPageReady_ = false;
  recovering_ = true;
  // Calls that never ran in the dead page go first, in their order.
  recoveryQueue_.insert(recoveryQueue_.begin(), std::make_move_iterator(unfinished.begin()),
                        std::make_move_iterator(unfinished.end()));
  loadBackgroundTemplate();
}

void SafariExtensionViewController::queueForRecovery(std::string call) {
  // A page that never comes back must not make the queue grow without end.
  if (recoveryQueue_.size() >= maxRecoveryQueue) {
    recoveryQueue_.erase(recoveryQueue_.begin());
    env_.platform.systemLog->error("The background page is not back yet; dropped its oldest call");
  }
  recoveryQueue_.push_back(std::move(call));
}

void SafariExtensionViewController::callBackgroundPage(std::string call) {
  if (isBackgroundPageReady_) {
    webView_->evaluateJavaScript(call);
  } else if (recovering_) {
    queueForRecovery(std::move(call));
  } else {
    backgroundPageQueue_.push_back(std::move(call));
  }
}

void SafariExtensionViewController::evaluateIfReady(const std::string& call) {
  if (isBackgroundPageReady_) {
    webView_->evaluateJavaScript(call);
  } else if (recovering_) {
    // Before the first "ready" these are dropped; after a crash nothing is.
    queueForRecovery(call);
  }
}

void SafariExtensionViewController::evaluateIfReadyLater(MainQueue& queue,
                                                         std::weak_ptr<bool> alive,
                                                         SafariExtensionViewController* host,
                                                         std::string call) {
  // `host` is touched only on the main queue, and only while `alive` says it exists.
  queue.async([alive = std::move(alive), host, call = std::move(call)] {
    if (!alive.expired()) host->evaluateIfReady(call);
  });
}

void SafariExtensionViewController::callBackgroundPageIfReady(std::string_view argument,
                                                              std::string_view prefix) {
  evaluateIfReadyLater(*mainQueue_, alive_, this, bridge::makeCall(prefix, argument));
}

void SafariExtensionViewController::passToBackgroundPage(const std::optional<Json>& arguments) {
  std::optional<std::string> json = arguments ? json::string(*arguments, "json") : std::nullopt;
  // Only one complete JSON text is inserted: anything else could end the call and run
  // as script in the background page.
  if (!json || !bridge::isOneJsonText(*json)) {
    logError(env_, NativeLogger::pagePassToBgPage, "Invalid json field");
    return;
  }
  callBackgroundPage(bridge::makeCall(bridge::appMessagePrefix, *json));
}

void SafariExtensionViewController::reportActiveTab(const std::string& pageId,
                                                    const std::string& url) {
  std::optional<std::string> argument = bridge::activeTabChangedArgument(pageId, url);
  if (!argument) {
    logError(env_, NativeLogger::pageCallSerialization, "activeTabChanged");
    return;
  }
  // Already on the main queue (the handler hopped here), so evaluating now keeps the
  // report in order with the page's other messages.
  evaluateIfReady(bridge::makeCall(bridge::activeTabChangedPrefix, *argument));
}

SharedViewController::SharedViewController(const Env& env, ExtensionPlatform browser,
                                           std::shared_ptr<PageRegistry> registry)
    : env_(env), browser_(std::move(browser)), registry_(std::move(registry)) {}

SafariExtensionViewController& SharedViewController::instance() {
  if (!instance_) {
    instance_ = std::make_unique<SafariExtensionViewController>(env_, browser_, registry_, hooks_);
    built_.store(true, std::memory_order_release);
  }
  return *instance_;
}

void SharedViewController::setHooks(BackgroundPageHooks hooks) {
  hooks_ = std::move(hooks);
  if (instance_) instance_->setHooks(hooks_);
}

}  // namespace qv
