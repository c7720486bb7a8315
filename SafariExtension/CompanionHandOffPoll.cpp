#include "SafariExtension/CompanionHandOffPoll.h"

namespace qv {

CompanionHandOffPoll::CompanionHandOffPoll(std::shared_ptr<SharedData> sharedData,
                                           std::shared_ptr<OAuthSignInFlow> signInFlow)
    : sharedData_(std::move(sharedData)), signInFlow_(std::move(signInFlow)) {}

void CompanionHandOffPoll::run() {
  handleOpenLoginTabMessage();
  handleExchangeMessage();
}

void CompanionHandOffPoll::handleOpenLoginTabMessage() {
  std::optional<bool> openLoginTab = sharedData_->oauthOpenLoginTabMessage.value();
  if (!openLoginTab.value_or(false)) {
    oauthOpenLoginTabLastMessageHandled_ = false;
    return;
  }
  // Acted on once until the flag has been seen absent or false again.
  if (oauthOpenLoginTabLastMessageHandled_) return;
  oauthOpenLoginTabLastMessageHandled_ = true;
  sharedData_->oauthOpenLoginTabMessage.setValue(std::nullopt);
  std::optional<UserInfo> user = sharedData_->userInfo.value();
  if (!user || user->isAnonymous) signInFlow_->beginOAuth(/*forceNewWindow=*/true);
}

void CompanionHandOffPoll::handleExchangeMessage() {
  std::optional<OAuthExchangeMessage> message = sharedData_->oauthExchangeMessage.value();
  if (!message) return;
  sharedData_->oauthExchangeMessage.setValue(std::nullopt);
  signInFlow_->oauthExchange(message->code, message->codeChallenge);
}

}  // namespace qv
