// The router between safari-host and the extension's handler, over the fakes: a scripted
// safari-host calls over a real socket pair, as it does the process, and what the calls
// did shows in the fake browser, web views, page registry and sign-in flow.

#include "SafariExtension/HostCallRouter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>

#include "ExtensionFixture.h"
#include "tests/support/IpcText.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/SocketPair.h"
#include "tests/support/Wait.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using testing::DispatchedMessage;
using testing::envelope;
using testing::PageFixture;
using Strings = std::vector<std::string>;

class HostCallRouterTest : public PageFixture {
 protected:
  void SetUp() override {
    std::optional<test::SocketPair> pair = test::socketPair();
    ASSERT_TRUE(pair);
    safari.serve(std::move(pair->first));
    // The extension's end, wired as main wires it.
    ipc::Connection::Handlers handlers;
    handlers.onCall = [this](const std::string& method, const Json& args,
                             ipc::Responder responder) {
      router.calls().dispatch(method, args, responder);
    };
    handlers.onClose = [closed = closed] { *closed = true; };
    extension = ipc::Connection::start(pair->second.release(), std::move(handlers));
  }

  void TearDown() override {
    // A call still waiting for connect() would hold the reader for ever.
    connect();
    if (!extension) return;
    extension->close();
    // Its handlers use the router: they must be done before the fixture goes.
    EXPECT_TRUE(test::waitUntil([&] { return closed->load(); }));
  }

  // What main supplies, over the fakes. Once.
  void connect() {
    if (connected) return;
    connected = true;
    HostCallRouter::Parts parts;
    parts.application = browser;
    parts.page = [this](const std::string& ref) -> std::shared_ptr<SafariPage> {
      return ref == page->id() ? page : nullptr;
    };
    parts.window = [this](const std::string& ref) -> std::shared_ptr<SafariWindow> {
      std::lock_guard lock(mutex);
      windowLookups.push_back(ref);
      return ref == window->id() ? window : nullptr;
    };
    parts.registry = registry;
    parts.host = shared;
    parts.signInFlow = signIn;
    parts.webViews = webViews;
    router.connect(std::move(parts));
  }

  // For calls answered on the main queue: runs it (this is its thread) until the reply.
  ipc::Reply callRunningMainQueue(const std::string& method, const Json& args) {
    auto promise = std::make_shared<std::promise<ipc::Reply>>();
    std::future<ipc::Reply> reply = promise->get_future();
    safari.connection()->call(
        method, args, [promise](ipc::Reply answer) { promise->set_value(std::move(answer)); });
    bool answered = test::waitUntil([&] {
      fakes.mainQueue->runUntilIdle();
      return reply.wait_for(0s) == std::future_status::ready;
    });
    if (!answered) return ipc::Reply::failure(ipc::ErrorKind::TimedOut, method + ": no reply");
    return reply.get();
  }

  Strings lookedUpWindows() {
    std::lock_guard lock(mutex);
    return windowLookups;
  }

  HostCallRouter router{*env};
  test::ScriptedPeer safari;
  std::shared_ptr<ipc::Connection> extension;
  std::shared_ptr<std::atomic<bool>> closed = std::make_shared<std::atomic<bool>>(false);
  bool connected = false;
  std::mutex mutex;
  Strings windowLookups;  // guarded by mutex: looked up on the reader thread
};

TEST_F(HostCallRouterTest, contentPageMessagesReachTheRegistryTheBackgroundPageAndTheSignInFlow) {
  connect();
  // safari-host sends page messages without an id; a call on the same connection after
  // them returns once they have been handled.
  ASSERT_TRUE(safari.notify("handler.messageReceived",
                            {{"name", "passToBgPage"},
                             {"page", page->id()},
                             {"userInfo", envelope("p1", {{"json", R"({"n":1})"}})}}));
  ipc::Reply begin =
      safari.call("handler.messageReceived",
                  {{"name", "beginOAuth"}, {"page", page->id()}, {"userInfo", envelope("p2")}});
  EXPECT_EQ(begin.result, Json::object()) << test::errorText(begin);
  ipc::Reply fromApp = safari.call("handler.messageReceivedFromContainingApp",
                                   {{"name", "openSafari"}, {"userInfo", nullptr}});
  EXPECT_EQ(fromApp.result, Json::object()) << test::errorText(fromApp);

  EXPECT_EQ(registry->lookup("p1"), page);
  EXPECT_EQ(registry->lookup("p2"), page);
  EXPECT_TRUE(signIn->calls.empty()) << "the flow runs on the main queue";
  fakes.mainQueue->runUntilIdle();
  ASSERT_TRUE(shared->isBuilt()) << "the first call builds the background page host";
  EXPECT_EQ(signIn->calls, Strings{"begin"});
  testing::FakeWebView& background = *webViews->lastView();
  background.postMessage("ready", Json());
  EXPECT_EQ(background.evaluations(), Strings{R"(window.exposedApi.appMessage({"n":1}))"});
  EXPECT_FALSE(signIn->offMainThread);
}

TEST_F(HostCallRouterTest, theToolbarItemIsValidatedAndThePopoverShownAndHidden) {
  connect();
  ipc::Reply validation = safari.call("handler.validateToolbarItem", {{"window", window->id()}});
  ASSERT_TRUE(validation.result) << test::errorText(validation);
  EXPECT_TRUE(test::sameJson(*validation.result, {{"enabled", true}, {"badgeText", ""}}))
      << validation.result->dump();
  // Then the front page is asked to report itself.
  EXPECT_TRUE(test::waitUntil([&] { return !page->messages().empty(); }));
  EXPECT_EQ(
      page->messages(),
      (std::vector<DispatchedMessage>{{page->id(), "exposedApi.reportActive", std::nullopt}}));
  // Validated even with no window to name.
  ipc::Reply windowless = safari.call("handler.validateToolbarItem", {{"window", nullptr}});
  ASSERT_TRUE(windowless.result) << test::errorText(windowless);
  EXPECT_TRUE(test::sameJson(*windowless.result, {{"enabled", true}, {"badgeText", ""}}));

  EXPECT_EQ(safari.call("handler.popoverWillShow", {{"window", window->id()}}).result,
            Json::object());
  fakes.mainQueue->runUntilIdle();
  testing::FakePopoverWindow* popover = webViews->lastPopoverWindow();
  ASSERT_NE(popover, nullptr);
  EXPECT_TRUE(popover->isVisible());
  EXPECT_EQ(safari.call("handler.popoverDidClose", {{"window", window->id()}}).result,
            Json::object());
  fakes.mainQueue->runUntilIdle();
  EXPECT_FALSE(popover->isVisible());
  EXPECT_EQ(popover->offMainThreadCalls(), 0u);
  EXPECT_EQ(lookedUpWindows(), (Strings{window->id(), window->id(), window->id()}));
}

TEST_F(HostCallRouterTest, popoverAutomationAnswersFromTheShownPopoverOrWithItsError) {
  connect();
  ipc::Reply hidden = callRunningMainQueue("automation.evaluatePopover", {{"script", "title()"}});
  EXPECT_FALSE(hidden.result);
  EXPECT_EQ(test::errorText(hidden), "the popover is not shown");

  webViews->setPopoverAnswer(Json("Sign in"));
  ipc::Reply value = callRunningMainQueue("automation.evaluatePopover", {{"script", "title()"}});
  EXPECT_EQ(value.result, Json({{"value", "Sign in"}})) << test::errorText(value);
  ipc::Reply shot = callRunningMainQueue("automation.popoverScreenshot", {{"path", "/tmp/p.png"}});
  EXPECT_EQ(shot.result, Json::object()) << test::errorText(shot);

  webViews->setPopoverAnswer(std::nullopt, "cannot write /tmp/p.png");
  ipc::Reply failed =
      callRunningMainQueue("automation.popoverScreenshot", {{"path", "/tmp/p.png"}});
  EXPECT_EQ(test::errorText(failed), "cannot write /tmp/p.png");
  // Refused before it reaches the web views.
  ipc::Reply noPath = safari.call("automation.popoverScreenshot", {{"path", ""}});
  EXPECT_EQ(test::errorText(noPath), "popoverScreenshot needs a path");

  fakes.mainQueue->runUntilIdle();
  EXPECT_EQ(webViews->popoverRequests(),
            (Strings{"title()", "title()", "snapshot /tmp/p.png", "snapshot /tmp/p.png"}));
}

TEST_F(HostCallRouterTest, theDevelopMenuInspectsEitherWebViewAndReloadsTheBackgroundPage) {
  connect();
  using View = WebViewFactory::InspectedView;
  // The first handler builds the background page, so its view exists to be inspected.
  ipc::Reply background = callRunningMainQueue("handler.showWebInspector", {{"target", "background"}});
  EXPECT_EQ(background.result, Json::object()) << test::errorText(background);
  ipc::Reply popup = callRunningMainQueue("handler.showWebInspector", {{"target", "popup"}});
  EXPECT_EQ(popup.result, Json::object()) << test::errorText(popup);
  ipc::Reply other = safari.call("handler.showWebInspector", {{"target", "page"}});
  EXPECT_EQ(test::errorText(other), "no web view is called page");
  EXPECT_EQ(webViews->inspected(), (std::vector<View>{View::hidden, View::popover}));

  const std::size_t loads = webViews->lastView()->loads().size();
  ipc::Reply reload = callRunningMainQueue("handler.reloadBackgroundPage", Json::object());
  EXPECT_EQ(reload.result, Json::object()) << test::errorText(reload);
  fakes.mainQueue->runUntilIdle();
  EXPECT_EQ(webViews->lastView()->loads().size(), loads + 1) << "the template loads again";
}

TEST_F(HostCallRouterTest, argumentsOtherThanDeclaredAndUnknownMethodsGetOneErrorAndReachNothing) {
  connect();
  struct Refused {
    std::string method;
    Json args;
    std::string error;
  };
  const std::vector<Refused> refused = {
      {"handler.messageReceived",
       {{"name", 7}, {"page", page->id()}, {"userInfo", envelope("p1")}},
       "name must be a string"},
      {"handler.messageReceived",
       {{"name", "beginOAuth"}, {"userInfo", envelope("p1")}},
       "page must be a string"},
      {"handler.messageReceived",
       {{"name", "beginOAuth"}, {"page", page->id()}, {"userInfo", "p1"}},
       "userInfo must be an object or null"},
      {"handler.validateToolbarItem", {{"window", 3}}, "window must be a string or null"},
      {"handler.popoverWillShow", {{"window", true}}, "window must be a string or null"},
      {"handler.messageReceivedFromContainingApp",
       {{"userInfo", nullptr}},
       "name must be a string"},
      {"automation.evaluatePopover", Json::object(), "script must be a string"},
      {"automation.popoverScreenshot", {{"path", false}}, "path must be a string"},
      {"handler.noSuchThing", Json::object(), "unknown method: handler.noSuchThing"},
      // safari-host's own method, which the extension does not answer.
      {"page.getProperties", {{"page", page->id()}}, "unknown method: page.getProperties"},
  };
  std::size_t logged = fakes.systemLog->lines().size();
  for (const Refused& call : refused) {
    SCOPED_TRACE(call.method + " " + call.args.dump());
    ipc::Reply reply = safari.call(call.method, call.args);
    EXPECT_FALSE(reply.result);
    EXPECT_EQ(test::errorText(reply), call.error);
  }
  // Without an id there is no one to answer: dropped, and logged all the same.
  ASSERT_TRUE(safari.notify("handler.popoverDidClose", {{"window", 9}}));
  EXPECT_TRUE(test::waitUntil([&] {
    return fakes.systemLog->lines().size() == logged + refused.size() + 1;
  })) << ::testing::PrintToString(fakes.systemLog->lines());
  EXPECT_EQ(fakes.systemLog->lines().back(),
            "Error: ipc: handler.popoverDidClose: window must be a string or null");

  // No handler was ever made: it would have built the host.
  fakes.mainQueue->runUntilIdle();
  EXPECT_FALSE(shared->isBuilt());
  EXPECT_TRUE(registry->allPages().empty());
  EXPECT_TRUE(signIn->calls.empty());
  EXPECT_TRUE(page->messages().empty());
  EXPECT_TRUE(webViews->popoverRequests().empty());
  EXPECT_TRUE(lookedUpWindows().empty());
}

TEST_F(HostCallRouterTest, callsMadeBeforeConnectWaitForItAndAreThenHandled) {
  ASSERT_TRUE(safari.notify(
      "handler.messageReceived",
      {{"name", "passToBgPage"}, {"page", page->id()}, {"userInfo", envelope("p1")}}));
  auto promise = std::make_shared<std::promise<ipc::Reply>>();
  std::future<ipc::Reply> validation = promise->get_future();
  safari.connection()->call("handler.validateToolbarItem", {{"window", window->id()}},
                            [promise](ipc::Reply reply) { promise->set_value(std::move(reply)); });
  EXPECT_EQ(validation.wait_for(200ms), std::future_status::timeout);
  EXPECT_FALSE(registry->lookup("p1"));

  connect();
  ASSERT_EQ(validation.wait_for(10s), std::future_status::ready);
  ipc::Reply reply = validation.get();
  ASSERT_TRUE(reply.result) << test::errorText(reply);
  EXPECT_TRUE(test::sameJson(*reply.result, {{"enabled", true}, {"badgeText", ""}}));
  EXPECT_EQ(registry->lookup("p1"), page);
}

}  // namespace
}  // namespace qv
