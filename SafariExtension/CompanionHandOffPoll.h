#pragma once

#include <memory>

#include "Common/SharedData.h"
#include "SafariExtension/OAuthSignInFlow.h"

namespace qv {

// One tick of the 1.0 s poll through which the companion reaches the extension: it
// acts on the companion's request to open the sign-in page (once per rising edge of the
// shared flag) and on a sign-in result the companion left in the shared store. Main
// queue only (the background page host runs it as its poll step).
class CompanionHandOffPoll {
 public:
  CompanionHandOffPoll(std::shared_ptr<SharedData> sharedData,
                       std::shared_ptr<OAuthSignInFlow> signInFlow);

  void run();

  bool oauthOpenLoginTabLastMessageHandled() const { return oauthOpenLoginTabLastMessageHandled_; }

 private:
  void handleOpenLoginTabMessage();
  void handleExchangeMessage();

  std::shared_ptr<SharedData> sharedData_;
  std::shared_ptr<OAuthSignInFlow> signInFlow_;
  bool oauthOpenLoginTabLastMessageHandled_ = false;
};

}  // namespace qv
