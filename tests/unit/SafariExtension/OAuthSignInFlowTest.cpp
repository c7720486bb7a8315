#include "SafariExtension/OAuthSignInFlow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "ExtensionFixture.h"
#include "SafariExtension/SigninUrls.h"

namespace qv {
namespace {

using testing::error;
using testing::ExtensionFixture;
using testing::FakeTab;
using testing::FakeWebView;
using testing::FakeWindow;
using testing::warning;
using Strings = std::vector<std::string>;

constexpr const char* elsewhere = "https://elsewhere.example/page";

// The flow over the fake browser, handing its calls to a real background page host.
class SignInFlowTest : public ExtensionFixture {
 protected:
  SignInFlowTest()
      : page(makeHost()),
        flow(std::make_shared<OAuthSignInFlow>(*env, browser, [this](std::string call) {
          host->callBackgroundPage(std::move(call));
        })) {}

  // The browser answers at once in these tests; the flow hops back to the main queue.
  void settle() { fakes.mainQueue->runUntilIdle(); }

  // Starts a sign-in and lets it finish; returns its verification.
  CodeVerification begin(bool forceNewWindow = false) {
    flow->beginOAuth(forceNewWindow);
    settle();
    EXPECT_TRUE(flow->pendingCodeVerification());
    return flow->pendingCodeVerification().value_or(CodeVerification{});
  }

  std::string signinUrlFor(const CodeVerification& verification) const {
    return SigninUrls::makeSigninUrl(env->deployment, verification.challenge).value();
  }

  std::size_t callIndex(const std::string& call) const {
    Strings calls = browser->calls();
    return static_cast<std::size_t>(std::find(calls.begin(), calls.end(), call) - calls.begin());
  }

  static std::string exchangeCall(const std::string& code, const std::string& verifier) {
    return R"(window.exposedApi.oauthExchange({"code":")" + code + R"(","codeVerifier":")" +
           verifier + R"("}))";
  }

  FakeWebView& page;
  std::shared_ptr<OAuthSignInFlow> flow;
};

TEST_F(SignInFlowTest, beginOpensTheSigninPageAndReplacesThePreviousLoginTabAfterwards) {
  auto window = browser->addWindow();
  auto other = window->addTab("https://a.example/");

  CodeVerification first = begin();
  std::string firstUrl = signinUrlFor(first);
  EXPECT_EQ(browser->calls(),
            (Strings{"getActiveWindow", window->id() + ".openTab " + firstUrl + " active=true"}));
  ASSERT_EQ(window->tabs().size(), 2u);
  std::shared_ptr<FakeTab> firstTab = window->activeTab();
  EXPECT_NE(firstTab, other);
  EXPECT_EQ(flow->loginTab(), firstTab);

  // The companion's request opens a new window; the old login tab, still on the sign-in
  // page, is closed once the new one is open.
  CodeVerification second = begin(/*forceNewWindow=*/true);
  EXPECT_NE(second, first);
  std::string secondUrl = signinUrlFor(second);
  ASSERT_EQ(browser->windows().size(), 2u);
  std::shared_ptr<FakeWindow> opened = browser->windows()[1];
  EXPECT_EQ(flow->loginTab(), opened->tabs().at(0));
  EXPECT_TRUE(firstTab->isClosed());
  EXPECT_FALSE(window->isClosed());  // it had another tab
  EXPECT_LT(callIndex("openWindow " + secondUrl), callIndex(firstTab->id() + ".close"));

  // A login tab that has left the sign-in page is left alone.
  opened->tabs()[0]->showPage(elsewhere);
  begin();
  EXPECT_FALSE(opened->isClosed());
  EXPECT_FALSE(opened->tabs()[0]->isClosed());
  EXPECT_TRUE(logs().empty());
}

TEST_F(SignInFlowTest, aVerificationThatCannotBeMadeIsLoggedAndChangesNothing) {
  browser->addWindow()->addTab("https://a.example/");
  CodeVerification pending = begin();
  auto loginTab = flow->loginTab();
  std::size_t calls = browser->calls().size();

  fakes.crypto->setFailRandom(true);
  flow->beginOAuth(false);
  settle();
  EXPECT_EQ(
      logs(),
      (std::vector{error("oauth.begin.createUrl", "Couldn't create codeVerification or url")}));
  EXPECT_EQ(flow->pendingCodeVerification(), pending);
  EXPECT_EQ(flow->loginTab(), loginTab);
  EXPECT_EQ(browser->calls().size(), calls);
}

TEST_F(SignInFlowTest, openFailuresAreLoggedWithTheirLevelAndKeepTheVerification) {
  browser->setOpenWindowFails(true);
  CodeVerification pending = begin(/*forceNewWindow=*/true);
  EXPECT_EQ(flow->loginTab(), nullptr);

  browser->setOpenWindowFails(false);
  browser->setNewWindowTabCount(2);
  begin(/*forceNewWindow=*/true);
  ASSERT_EQ(browser->windows().size(), 1u);
  EXPECT_EQ(flow->loginTab(), browser->windows()[0]->tabs()[0]);  // the first of the two

  browser->windows()[0]->setOpenTabFails(true);
  begin(/*forceNewWindow=*/false);
  EXPECT_EQ(flow->loginTab(), nullptr);
  EXPECT_TRUE(flow->pendingCodeVerification());

  EXPECT_EQ(
      logs(),
      (std::vector{error("oauth.begin.openTab", "forceNewWindow=true, could not open window"),
                   warning("oauth.begin.openTab",
                           "forceNewWindow=true, unexpected tab count=2 in newly opened window"),
                   error("oauth.begin.openTab", "forceNewWindow=false, could not open tab")}));
}

TEST_F(SignInFlowTest, theExchangeNeedsTheNewestChallengeAndWorksOnce) {
  browser->addWindow();
  // Two sign-ins: the first page's callback no longer matches.
  CodeVerification first = begin();
  CodeVerification second = begin();
  flow->oauthExchange("code-1", first.challenge);
  EXPECT_EQ(flow->pendingCodeVerification(), std::nullopt);  // consumed by the refusal
  // …and so the second page's callback fails too.
  flow->oauthExchange("code-2", second.challenge);

  // A fresh sign-in, completed through the content page's callback URL.
  CodeVerification third = begin();
  flow->oauthExchangeFromRedirectUrl("quorvane.extension://oauth?code=c%2B3&code_challenge=" +
                                     third.challenge);
  // Not ready yet: the call waits for the background page.
  EXPECT_TRUE(page.evaluations().empty());
  EXPECT_EQ(host->backgroundPageQueue(), (Strings{exchangeCall("c+3", third.verifier)}));
  page.postMessage("ready", Json());
  EXPECT_EQ(page.evaluations(), (Strings{exchangeCall("c+3", third.verifier)}));

  // A replay of the same callback finds nothing pending.
  flow->oauthExchangeFromRedirectUrl("quorvane.extension://oauth?code=c%2B3&code_challenge=" +
                                     third.challenge);
  EXPECT_EQ(page.evaluations().size(), 1u);

  EXPECT_EQ(logs(), std::vector(3, warning("oauth.exchange", "Invalid code or codeVerification")));
}

TEST_F(SignInFlowTest, incompleteOrUnencodableExchangesAreRefusedAndConsumeTheVerification) {
  browser->addWindow();
  page.postMessage("ready", Json());
  CodeVerification pending = begin();
  flow->oauthExchange(std::nullopt, pending.challenge);
  begin();
  flow->oauthExchange("code", std::nullopt);
  begin();
  flow->oauthExchangeFromRedirectUrl("https://www.test.example/?code=a&code_challenge=b");
  begin();
  flow->oauthExchangeFromRedirectUrl(std::nullopt);
  pending = begin();
  flow->oauthExchange("\xff", pending.challenge);  // not UTF-8: no JSON text for it
  EXPECT_EQ(flow->pendingCodeVerification(), std::nullopt);
  EXPECT_TRUE(page.evaluations().empty());

  std::vector expected(4, warning("oauth.exchange", "Invalid code or codeVerification"));
  expected.push_back(error("page.call.serialization", "oauthExchange"));
  EXPECT_EQ(logs(), expected);
}

TEST_F(SignInFlowTest, completingWithoutAnErrorShowsTheSuccessPage) {
  auto window = browser->addWindow();
  window->addTab("https://a.example/");

  // The login tab still on the sign-in page is taken to the success page.
  begin();
  auto loginTab = window->activeTab();
  flow->oauthComplete(std::nullopt);
  settle();
  EXPECT_EQ(loginTab->navigations(), Strings{flow->successUrl()});
  EXPECT_EQ(flow->loginTab(), nullptr);
  EXPECT_EQ(window->tabs().size(), 2u);

  // One that went elsewhere stays; the success page opens in a new active tab.
  begin();
  loginTab = window->activeTab();
  loginTab->showPage(elsewhere);
  flow->oauthComplete(std::nullopt);
  settle();
  EXPECT_TRUE(loginTab->navigations().empty());
  EXPECT_EQ(window->tabs().size(), 4u);
  EXPECT_EQ(browser->calls().back(),
            window->id() + ".openTab " + flow->successUrl() + " active=true");
  EXPECT_EQ(flow->loginTab(), nullptr);

  // Without any login tab the success page opens too; failures to open it are logged.
  flow->oauthComplete(std::nullopt);
  EXPECT_EQ(window->tabs().size(), 5u);
  browser->setActiveWindow(nullptr);
  window->close();
  browser->setOpenWindowFails(true);
  flow->oauthComplete(std::nullopt);
  browser->setOpenWindowFails(false);
  browser->setNewWindowTabCount(0);
  flow->oauthComplete(std::nullopt);
  browser->windows().at(0)->close();  // the empty window it opened
  browser->setNewWindowTabCount(2);
  flow->oauthComplete(std::nullopt);
  EXPECT_EQ(logs(), (std::vector{error("oauth.complete.openSuccessTab", "could not open window"),
                                 error("oauth.complete.openSuccessTab",
                                       "unexpected tab count=0 in newly opened window"),
                                 warning("oauth.complete.openSuccessTab",
                                         "unexpected tab count=2 in newly opened window")}));
}

TEST_F(SignInFlowTest, completingWithAnErrorTellsTheLoginPageOrLogsWhyNot) {
  auto window = browser->addWindow();
  window->addTab("https://a.example/");

  begin();
  auto loginTab = window->activeTab();
  flow->oauthComplete("denied");
  settle();
  EXPECT_EQ(loginTab->page()->messages(),
            (std::vector{testing::DispatchedMessage{loginTab->page()->id(), "exposedApi.oauthError",
                                                    Json{{"error", "denied"}}}}));
  EXPECT_EQ(flow->loginTab(), loginTab);  // kept for another try

  loginTab->showPage(elsewhere);
  flow->oauthComplete("again");
  EXPECT_EQ(flow->loginTab(), loginTab);
  flow->closeLoginTab();
  flow->oauthComplete("late");
  EXPECT_TRUE(loginTab->navigations().empty());

  EXPECT_EQ(logs(), (std::vector{warning("oauth.complete.reportError", "Navigated away"),
                                 warning("oauth.complete.reportError", "No login tab")}));
}

TEST_F(SignInFlowTest, closeLoginTabClosesOnlyATabStillOnTheSigninPage) {
  // The only tab of its window: the window goes.
  begin(/*forceNewWindow=*/true);
  auto window = browser->windows().at(0);
  flow->closeLoginTab();
  EXPECT_EQ(flow->loginTab(), nullptr);
  EXPECT_TRUE(window->isClosed());

  // A tab among others goes alone; one that went elsewhere stays.
  auto front = browser->addWindow();
  front->addTab("https://a.example/");
  begin();
  auto loginTab = front->activeTab();
  flow->closeLoginTab();
  EXPECT_TRUE(loginTab->isClosed());
  EXPECT_FALSE(front->isClosed());
  begin();
  loginTab = front->activeTab();
  loginTab->showPage(elsewhere);
  flow->closeLoginTab();
  EXPECT_EQ(flow->loginTab(), nullptr);
  EXPECT_FALSE(loginTab->isClosed());

  // Nothing remembered: nothing asked.
  std::size_t calls = browser->calls().size();
  flow->closeLoginTab();
  EXPECT_EQ(browser->calls().size(), calls);
}

TEST_F(SignInFlowTest, browserAnswersFromAnotherThreadReachTheStateOnTheMainQueue) {
  auto window = browser->addWindow();
  browser->holdCompletions(true);
  flow->beginOAuth(false);
  // The browser answers on its own thread.
  std::thread([&] { browser->releaseHeld(); }).join();
  EXPECT_EQ(flow->loginTab(), nullptr);  // not before the main queue runs
  settle();
  EXPECT_EQ(flow->loginTab(), window->activeTab());

  // An answer that comes after the flow is gone does nothing.
  flow->beginOAuth(false);
  std::weak_ptr<OAuthSignInFlow> weak = flow;
  flow.reset();
  EXPECT_TRUE(weak.expired());
  std::thread([&] { browser->releaseHeld(); }).join();
  settle();
  EXPECT_EQ(window->tabs().size(), 2u);
}

TEST_F(SignInFlowTest, aSigninReplacedWhileItsTabWasOpeningEndsAsIfTheyRanInTurn) {
  auto window = browser->addWindow();
  window->addTab("https://a.example/");
  browser->holdCompletions(true);
  flow->beginOAuth(false);
  flow->beginOAuth(false);
  CodeVerification newest = flow->pendingCodeVerification().value();
  browser->releaseHeld();
  browser->holdCompletions(false);
  settle();

  ASSERT_EQ(window->tabs().size(), 2u);  // the first sign-in tab is gone again
  auto loginTab = flow->loginTab();
  ASSERT_TRUE(loginTab);
  EXPECT_EQ(loginTab, window->tabs()[1]);
  // It went only after the newest sign-in page had opened.
  Strings calls = browser->calls();
  auto closed = std::find_if(calls.begin(), calls.end(),
                             [](const std::string& call) { return call.ends_with(".close"); });
  ASSERT_NE(closed, calls.end());
  EXPECT_NE(*closed, loginTab->id() + ".close");
  EXPECT_LT(callIndex(window->id() + ".openTab " + signinUrlFor(newest) + " active=true"),
            static_cast<std::size_t>(closed - calls.begin()));
  EXPECT_TRUE(logs().empty());
}

}  // namespace
}  // namespace qv
