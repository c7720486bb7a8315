#include "SafariExtension/OAuthSignInFlow.h"

#include <utility>
#include <variant>

#include "Common/OAuthUtils.h"
#include "SafariExtension/BridgeFormats.h"
#include "SafariExtension/SigninUrls.h"

namespace qv {
namespace {

using TabPtr = std::shared_ptr<SafariTab>;
using WindowPtr = std::shared_ptr<SafariWindow>;

void logAt(const Env& env, NativeLogger logger, LogLevel level, std::string message) {
  if (env.felog) env.felog->log(logger, level, std::move(message));
}

// Closes `tab` (or its window, when it is the window's only tab) if its first page still
// shows `url`'s scheme, host and path. Touches no sign-in state; any thread.
Future<std::monostate> closeIfStillShowing(TabPtr tab, std::string url) {
  return FutureFunc::bind(Tabs::isTabShowing(std::move(tab), std::move(url)),
                          [](const TabPtr& shown) -> Future<std::monostate> {
                            if (!shown) return FutureFunc::pure(std::monostate{});
                            Future<WindowPtr> window = [shown](std::function<void(WindowPtr)> cb) {
                              shown->getContainingWindow(std::move(cb));
                            };
                            return FutureFunc::bind(window, [shown](WindowPtr containing) {
                              return Tabs::closeTabOrWindow(std::move(containing), shown);
                            });
                          });
}

void retire(TabPtr tab, const std::string& url) {
  if (tab) FutureFunc::run(closeIfStillShowing(std::move(tab), url));
}

}  // namespace

OAuthSignInFlow::OAuthSignInFlow(const Env& env, std::shared_ptr<SafariApplication> application,
                                 CallBackgroundPage callBackgroundPage)
    : env_(env),
      tabs_(std::move(application)),
      callBackgroundPage_(std::move(callBackgroundPage)),
      // A deployment whose host forms no URL leaves this empty; no tab ever matches it.
      signinUrl_(SigninUrls::signinUrl(env.deployment).value_or("")),
      successUrl_(SigninUrls::successUrl(env.deployment)) {}

void OAuthSignInFlow::beginOAuth(bool forceNewWindow) {
  std::optional<CodeVerification> verification = CodeVerification::generate(*env_.platform.crypto);
  std::optional<std::string> url =
      verification ? SigninUrls::makeSigninUrl(env_.deployment, verification->challenge)
                   : std::nullopt;
  if (!url) {
    logAt(env_, NativeLogger::oauthBeginCreateUrl, LogLevel::error,
          "Couldn't create codeVerification or url");
    return;
  }
  pendingCodeVerification_ = std::move(verification);
  TabPtr previous = std::exchange(loginTab_, nullptr);
  std::uint64_t attempt = ++beginCount_;

  std::weak_ptr<OAuthSignInFlow> weak = weak_from_this();
  std::shared_ptr<MainQueue> queue = env_.platform.mainQueue;
  tabs_.openTab(*url, forceNewWindow,
                /*activate=*/true)([weak, queue, attempt, forceNewWindow, url = *url,
                                    previous = std::move(previous)](OpenTabResult result) {
    // The browser answers on its own thread; the state lives on the main queue.
    queue->async([weak, attempt, forceNewWindow, url, previous, result = std::move(result)] {
      if (auto self = weak.lock()) {
        self->loginTabOpened(attempt, forceNewWindow, url, result, previous);
      }
    });
  });
}

void OAuthSignInFlow::loginTabOpened(std::uint64_t attempt, bool forceNewWindow,
                                     const std::string& url, const OpenTabResult& result,
                                     TabPtr previous) {
  if (!result.tab || result.error) {
    logAt(env_, NativeLogger::oauthBeginOpenTab, result.tab ? LogLevel::warn : LogLevel::error,
          std::string("forceNewWindow=") + (forceNewWindow ? "true" : "false") + ", " +
              result.error.value_or(""));
  }
  // The previous tab goes only now that the new one has opened.
  retire(std::move(previous), url);
  if (attempt == beginCount_) {
    loginTab_ = result.tab;
    newestOpened_ = attempt;
    std::vector<TabPtr> superseded = std::exchange(supersededTabs_, {});
    for (TabPtr& tab : superseded) retire(std::move(tab), url);
    return;
  }
  // A later sign-in has started since: this tab's challenge is no longer pending.
  if (!result.tab) return;
  if (newestOpened_ == beginCount_) {
    retire(result.tab, url);
  } else {
    supersededTabs_.push_back(result.tab);
  }
}

void OAuthSignInFlow::closeLoginTab() {
  if (!loginTab_) return;
  retire(std::exchange(loginTab_, nullptr), signinUrl_);
}

void OAuthSignInFlow::oauthExchangeFromRedirectUrl(const std::optional<std::string>& redirectUrl) {
  std::optional<OAuthResultUrlData> parsed = OAuthUtils::parseResultUrl(redirectUrl);
  if (!parsed) return oauthExchange(std::nullopt, std::nullopt);
  oauthExchange(parsed->code, parsed->codeChallenge);
}

void OAuthSignInFlow::oauthExchange(const std::optional<std::string>& code,
                                    const std::optional<std::string>& codeChallenge) {
  // Consumed by every attempt: a callback can be used once, and only for the newest page.
  std::optional<CodeVerification> pending = std::exchange(pendingCodeVerification_, std::nullopt);
  if (!pending || !code || !codeChallenge || *codeChallenge != pending->challenge) {
    logAt(env_, NativeLogger::oauthExchange, LogLevel::warn, "Invalid code or codeVerification");
    return;
  }
  std::optional<std::string> argument = bridge::oauthExchangeArgument(*code, pending->verifier);
  if (!argument) {
    logAt(env_, NativeLogger::pageCallSerialization, LogLevel::error, "oauthExchange");
    return;
  }
  // Already on the main queue, where the background page host lives.
  if (callBackgroundPage_)
    callBackgroundPage_(bridge::makeCall(bridge::oauthExchangePrefix, *argument));
}

void OAuthSignInFlow::oauthComplete(const std::optional<std::string>& error) {
  TabPtr loginTab = loginTab_;
  if (!error) loginTab_ = nullptr;  // with an error the user may try again in the same tab

  const Env& env = env_;
  Tabs tabs = tabs_;
  std::string successUrl = successUrl_;
  bool hadLoginTab = loginTab != nullptr;
  Tabs::isTabShowing(std::move(loginTab), signinUrl_)(
      [&env, tabs, successUrl, error, hadLoginTab](const TabPtr& signinTab) {
        if (!error && signinTab) {
          signinTab->navigate(successUrl);
        } else if (!error) {
          tabs.openTab(successUrl, /*forceNewWindow=*/false,
                       /*activate=*/true)([&env](const OpenTabResult& result) {
            if (result.tab && !result.error) return;
            logAt(env, NativeLogger::oauthCompleteOpenSuccessTab,
                  result.tab ? LogLevel::warn : LogLevel::error, result.error.value_or(""));
          });
        } else if (signinTab) {
          signinTab->getActivePage([error](const std::shared_ptr<SafariPage>& page) {
            if (page) {
              page->dispatchMessageToScript(std::string(bridge::oauthErrorMessage),
                                            Json{{"error", *error}});
            }
          });
        } else {
          logAt(env, NativeLogger::oauthCompleteReportError, LogLevel::warn,
                hadLoginTab ? "Navigated away" : "No login tab");
        }
      });
}

}  // namespace qv
