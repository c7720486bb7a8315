#include "companion/OAuth.h"

#include <utility>

#include "Common/OAuthUtils.h"
#include "platform/JsonFields.h"

namespace qv {
namespace {

// The parsed callback, kept only when both values can travel as JSON text: a
// percent-encoded byte sequence that is not UTF-8 could be neither stored nor sent,
// which would leave the extension waiting on a stale verification.
std::optional<OAuthResultUrlData> parseCallback(const std::optional<std::string>& url) {
  std::optional<OAuthResultUrlData> parsed = OAuthUtils::parseResultUrl(url);
  if (!parsed) return std::nullopt;
  if (!json::dump(Json(parsed->code)) || !json::dump(Json(parsed->codeChallenge))) {
    return std::nullopt;
  }
  return parsed;
}

Json nullable(const std::optional<std::string>& value) {
  return value ? Json(*value) : Json(nullptr);
}

}  // namespace

OAuth::OAuth(Felog<CompanionLogger> felogIn, std::string extensionBundleIdentifierIn,
             std::shared_ptr<SharedData> sharedData,
             std::shared_ptr<SafariExtensionManager> safariExtensionManager,
             std::shared_ptr<Alert> alert, std::shared_ptr<MainQueue> mainQueue)
    : felog(std::move(felogIn)),
      extensionBundleIdentifier(std::move(extensionBundleIdentifierIn)),
      sharedData_(std::move(sharedData)),
      safari_(std::move(safariExtensionManager)),
      alert_(std::move(alert)),
      mainQueue_(std::move(mainQueue)) {}

void OAuth::handleGetURLWithEvent(const AppleEventDescriptor& event,
                                  AppleEventDescriptor& /*replyEvent*/) {
  shouldAutoOpenLoginTab = false;

  std::optional<OAuthResultUrlData> parsed = parseCallback(event.paramString(keyDirectObject));
  OAuthExchangeMessage message;
  if (parsed) {
    message.code = parsed->code;
    message.codeChallenge = parsed->codeChallenge;
  }
  // Stored first: the extension's poll finds it even if it is not running yet.
  sharedData_->oauthExchangeMessage.setValue(message);

  Json userInfo = Json::object();
  userInfo["code"] = nullable(message.code);
  userInfo["codeChallenge"] = nullable(message.codeChallenge);
  safari_->dispatchMessage(
      std::string(toString(CompanionMessage::oauthExchange)), extensionBundleIdentifier, userInfo,
      [felog = felog, alert = alert_, mainQueue = mainQueue_](std::optional<SafariError> error) {
        if (!error) return;
        mainQueue->async([alert] {
          alert->runModal(AlertMessage{"Quorvane encountered a problem",
                                       "Please open Safari to continue using Quorvane.",
                                       AlertStyle::critical,
                                       {"OK"}});
        });
        felog.log(CompanionLogger::oauthHandleUrl, LogLevel::error,
                  "Could not continue to extension: " + error->description);
      });
}

void OAuth::openLoginTab(std::function<void(bool)> completion) {
  sharedData_->oauthOpenLoginTabMessage.setValue(true);
  safari_->dispatchMessage(std::string(toString(CompanionMessage::oauthOpenLoginTab)),
                           extensionBundleIdentifier, std::nullopt,
                           [completion = std::move(completion)](std::optional<SafariError> error) {
                             if (completion) completion(!error);
                           });
}

}  // namespace qv
