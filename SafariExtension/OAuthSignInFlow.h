#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SafariExtension/CodeVerification.h"
#include "SafariExtension/Env.h"
#include "SafariExtension/ExtensionHooks.h"
#include "SafariExtension/Tabs.h"
#include "platform/SafariServices.h"

namespace qv {

// The browser side of the sign-in: issues a PKCE verification, opens the sign-in page
// in a login tab, checks the code that comes back against the challenge it issued,
// hands code and verifier to the background page, and finally shows the success page
// or reports the error in the login tab.
//
// Threads: every entry point runs on the main queue, and so does everything that
// touches the sign-in state (`pendingCodeVerification`, `loginTab`): completions of the
// browser's lookups arrive on its own thread and hop back to the main queue before they
// touch it. Steps that touch no state (checking what a tab shows, closing it, opening
// the success page) continue on whatever thread the browser answers on.
//
// Create it with std::make_shared: completions that come back after it is gone do
// nothing.
class OAuthSignInFlow final : public SignInFlow,
                              public std::enable_shared_from_this<OAuthSignInFlow> {
 public:
  // Hands a call to the background page: evaluated at once when the page is ready,
  // queued otherwise (the host's callBackgroundPage). Called on the main queue.
  using CallBackgroundPage = std::function<void(std::string call)>;

  // `env` must outlive the flow and the work it starts (the process-wide Env does).
  OAuthSignInFlow(const Env& env, std::shared_ptr<SafariApplication> application,
                  CallBackgroundPage callBackgroundPage);

  // Starts a sign-in: a new verification replaces any pending one, and the sign-in page
  // opens in a new window (`forceNewWindow`) or in a new, active tab of the active
  // window. The previous login tab is closed, once the new one has opened, if it still
  // shows the sign-in page.
  void beginOAuth(bool forceNewWindow) override;
  // Forgets the login tab and closes it if it still shows the sign-in page.
  void closeLoginTab() override;
  // Parses the callback URL and performs the exchange with what it carried (nothing
  // when it does not parse).
  void oauthExchangeFromRedirectUrl(const std::optional<std::string>& redirectUrl) override;
  // Ends a sign-in: without `error`, the success page replaces the login tab (or opens
  // in a new tab when that tab has left the sign-in page); with one, the login page is
  // told, and the login tab is kept for another try.
  void oauthComplete(const std::optional<std::string>& error) override;

  // Consumes the pending verification, whatever the outcome, and when `codeChallenge`
  // matches it hands code and verifier to the background page ("oauthExchange").
  void oauthExchange(const std::optional<std::string>& code,
                     const std::optional<std::string>& codeChallenge);

  const std::optional<CodeVerification>& pendingCodeVerification() const {
    return pendingCodeVerification_;
  }
  const std::shared_ptr<SafariTab>& loginTab() const { return loginTab_; }
  const std::string& signinUrl() const { return signinUrl_; }
  const std::string& successUrl() const { return successUrl_; }

 private:
  void loginTabOpened(std::uint64_t attempt, bool forceNewWindow, const std::string& url,
                      const OpenTabResult& result, std::shared_ptr<SafariTab> previous);

  const Env& env_;
  const Tabs tabs_;
  const CallBackgroundPage callBackgroundPage_;
  const std::string signinUrl_;
  const std::string successUrl_;

  std::optional<CodeVerification> pendingCodeVerification_;
  std::shared_ptr<SafariTab> loginTab_;
  // Sign-ins started and the newest whose login tab has opened. A tab that opens for
  // a sign-in that a later one has replaced is not the login tab: it is closed (if still
  // on the sign-in page) once the newer tab has opened, as if the two had run in turn.
  std::uint64_t beginCount_ = 0;
  std::uint64_t newestOpened_ = 0;
  std::vector<std::shared_ptr<SafariTab>> supersededTabs_;
};

}  // namespace qv
