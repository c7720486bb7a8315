#include "platform/linux/safari/IpcSafari.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ipc/Connection.h"
#include "tests/support/IpcText.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/SocketPair.h"

namespace qv {
namespace {

using namespace std::chrono_literals;

// Waits for a completion's value; absent when it never came.
template <typename T>
std::optional<T> await(std::future<T>& future) {
  if (future.wait_for(10s) != std::future_status::ready) return std::nullopt;
  return future.get();
}

// The value a completion is given, handed from the connection's thread to the test's.
template <typename T>
class Awaited {
 public:
  // For the call under test; it may outlive this object.
  std::function<void(T)> completion() {
    return [promise = promise_](T value) { promise->set_value(std::move(value)); };
  }
  // The value, once it came; absent when it never did.
  std::optional<T> value() { return await(future_); }

 private:
  std::shared_ptr<std::promise<T>> promise_ = std::make_shared<std::promise<T>>();
  std::future<T> future_ = promise_->get_future();
};

// The reference of the handle a lookup gave; absent when it gave none or never answered.
template <typename Handle>
std::optional<std::string> idOf(const std::optional<std::shared_ptr<Handle>>& handle) {
  if (!handle || !*handle) return std::nullopt;
  return (*handle)->id();
}

// The references of the handles a lookup gave; absent when it never answered.
template <typename Handle>
std::optional<std::vector<std::string>> idsOf(
    const std::optional<std::vector<std::shared_ptr<Handle>>>& handles) {
  if (!handles) return std::nullopt;
  std::vector<std::string> ids;
  for (const auto& handle : *handles) ids.push_back(handle->id());
  return ids;
}

// The extension's end of a socket pair, with a scripted safari-host at the other end
// (a method it has no answer for gets an error).
class IpcSafariTest : public testing::Test {
 protected:
  void SetUp() override {
    std::optional<test::SocketPair> pair = test::socketPair();
    ASSERT_TRUE(pair);
    host = std::make_unique<test::ScriptedPeer>();
    host->serve(std::move(pair->first));
    extension = ipc::Connection::start(pair->second.release(), {});
  }
  void TearDown() override {
    if (extension) extension->close();
  }

  void answer(const std::string& method, Json result) { host->answer(method, std::move(result)); }
  // The only call made so far, once it has arrived.
  test::ReceivedCall lastCall(std::size_t count) {
    EXPECT_TRUE(host->waitForCalls([&](const auto& calls) { return calls.size() >= count; }));
    auto calls = host->calls();
    return calls.empty() ? test::ReceivedCall{} : calls.back();
  }

  std::unique_ptr<test::ScriptedPeer> host;
  std::shared_ptr<ipc::Connection> extension;
};

TEST_F(IpcSafariTest, LookupsSendTheProtocolsCallsAndWrapTheReferencesTheyGetBack) {
  IpcSafariApplication application(extension);
  answer("application.getActiveWindow", {{"window", "window-3"}});
  answer("application.getAllWindows", {{"windows", {"window-3", "window-4"}}});
  answer("application.openWindow", {{"window", "window-5"}});
  answer("window.openTab", {{"tab", "tab-7"}});
  answer("window.getAllTabs", {{"tabs", {"tab-7", 8, "tab-9"}}});  // junk entries are skipped
  answer("window.getActiveTab", {{"tab", "tab-7"}});
  answer("window.getToolbarItem", {{"toolbarItem", "toolbarItem-3"}});
  answer("tab.getPages", {{"pages", {"page-12"}}});
  answer("tab.getActivePage", {{"page", "page-12"}});
  answer("tab.getContainingWindow", {{"window", "window-3"}});

  Awaited<std::shared_ptr<SafariWindow>> active;
  application.getActiveWindow(active.completion());
  std::shared_ptr<SafariWindow> window = active.value().value_or(nullptr);
  ASSERT_TRUE(window);
  EXPECT_EQ(window->id(), "window-3");
  test::ReceivedCall call = lastCall(1);
  EXPECT_TRUE(call.wantsReply);
  EXPECT_TRUE(test::sameJson(call.args, Json::object()));

  Awaited<std::vector<std::shared_ptr<SafariWindow>>> all;
  application.getAllWindows(all.completion());
  EXPECT_EQ(idsOf(all.value()), (std::vector<std::string>{"window-3", "window-4"}));

  Awaited<std::shared_ptr<SafariWindow>> opened;
  application.openWindow("https://a.example/", opened.completion());
  EXPECT_EQ(idOf(opened.value()), std::optional<std::string>("window-5"));
  EXPECT_TRUE(test::sameJson(lastCall(3).args, Json{{"url", "https://a.example/"}}));

  Awaited<std::shared_ptr<SafariTab>> tabOpened;
  window->openTab("https://b.example/", false, tabOpened.completion());
  EXPECT_EQ(idOf(tabOpened.value()), std::optional<std::string>("tab-7"));
  EXPECT_TRUE(test::sameJson(lastCall(4).args, Json{{"window", "window-3"},
                                                    {"url", "https://b.example/"},
                                                    {"makeActiveIfPossible", false}}));

  Awaited<std::vector<std::shared_ptr<SafariTab>>> tabs;
  window->getAllTabs(tabs.completion());
  EXPECT_EQ(idsOf(tabs.value()), (std::vector<std::string>{"tab-7", "tab-9"}));

  Awaited<std::shared_ptr<SafariTab>> activeTab;
  window->getActiveTab(activeTab.completion());
  std::shared_ptr<SafariTab> tab = activeTab.value().value_or(nullptr);
  ASSERT_TRUE(tab);
  EXPECT_TRUE(test::sameJson(lastCall(6).args, Json{{"window", "window-3"}}));

  Awaited<std::shared_ptr<SafariToolbarItem>> item;
  window->getToolbarItem(item.completion());
  EXPECT_EQ(idOf(item.value()), std::optional<std::string>("toolbarItem-3"));

  Awaited<std::vector<std::shared_ptr<SafariPage>>> pages;
  tab->getPages(pages.completion());
  EXPECT_EQ(idsOf(pages.value()), (std::vector<std::string>{"page-12"}));
  EXPECT_TRUE(test::sameJson(lastCall(8).args, Json{{"tab", "tab-7"}}));

  Awaited<std::shared_ptr<SafariPage>> activePage;
  tab->getActivePage(activePage.completion());
  EXPECT_EQ(idOf(activePage.value()), std::optional<std::string>("page-12"));

  Awaited<std::shared_ptr<SafariWindow>> containing;
  tab->getContainingWindow(containing.completion());
  EXPECT_EQ(idOf(containing.value()), std::optional<std::string>("window-3"));

  std::vector<std::string> methods;
  for (const auto& each : host->calls()) methods.push_back(each.method);
  EXPECT_EQ(methods, (std::vector<std::string>{
                         "application.getActiveWindow", "application.getAllWindows",
                         "application.openWindow", "window.openTab", "window.getAllTabs",
                         "window.getActiveTab", "window.getToolbarItem", "tab.getPages",
                         "tab.getActivePage", "tab.getContainingWindow"}));
}

TEST_F(IpcSafariTest, ActionsAreNotificationsWithTheProtocolsArguments) {
  IpcSafariApplication application(extension);
  IpcSafariWindow window(extension, "window-3");
  IpcSafariTab tab(extension, "tab-7");
  IpcSafariPage page(extension, "page-12");
  IpcSafariToolbarItem item(extension, "toolbarItem-3");

  page.dispatchMessageToScript("hello", Json{{"k", 1}});
  page.dispatchMessageToScript("bare", std::nullopt);
  item.setImage(Bytes{0x89, 'P', 'N', 'G'});
  item.setImage(std::nullopt);
  item.setBadgeText(std::string("3"));
  item.setBadgeText(std::nullopt);
  tab.navigate("https://c.example/");
  tab.close();
  window.close();
  application.dismissPopover();

  ASSERT_TRUE(host->waitForCalls([](const auto& calls) { return calls.size() >= 10; }));
  std::vector<test::ReceivedCall> calls = host->calls();
  std::vector<std::pair<std::string, Json>> expected = {
      {"page.dispatchMessageToScript",
       {{"page", "page-12"}, {"name", "hello"}, {"userInfo", {{"k", 1}}}}},
      {"page.dispatchMessageToScript",
       {{"page", "page-12"}, {"name", "bare"}, {"userInfo", nullptr}}},
      {"toolbarItem.setImage",
       {{"toolbarItem", "toolbarItem-3"}, {"image", {{"png", "iVBORw=="}}}}},
      {"toolbarItem.setImage", {{"toolbarItem", "toolbarItem-3"}, {"image", nullptr}}},
      {"toolbarItem.setBadgeText", {{"toolbarItem", "toolbarItem-3"}, {"text", "3"}}},
      {"toolbarItem.setBadgeText", {{"toolbarItem", "toolbarItem-3"}, {"text", nullptr}}},
      {"tab.navigate", {{"tab", "tab-7"}, {"url", "https://c.example/"}}},
      {"tab.close", {{"tab", "tab-7"}}},
      {"window.close", {{"window", "window-3"}}},
      {"popover.dismiss", Json::object()},
  };
  ASSERT_EQ(calls.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(calls[i].method, expected[i].first);
    EXPECT_FALSE(calls[i].wantsReply) << calls[i].method;
    EXPECT_TRUE(test::sameJson(calls[i].args, expected[i].second)) << calls[i].args.dump();
  }
}

TEST_F(IpcSafariTest, PagePropertiesMapNullsToAbsentValues) {
  IpcSafariPage page(extension, "page-12");
  auto properties = [&] {
    Awaited<std::optional<SafariPageProperties>> got;
    page.getProperties(got.completion());
    return got.value();
  };

  answer("page.getProperties",
         {{"properties",
           {{"url", "https://d.example/"}, {"title", "D"}, {"usesPrivateBrowsing", true}}}});
  auto full = properties();
  ASSERT_TRUE(full && *full);
  EXPECT_EQ((*full)->url, std::optional<std::string>("https://d.example/"));
  EXPECT_EQ((*full)->title, std::optional<std::string>("D"));
  EXPECT_TRUE((*full)->usesPrivateBrowsing);

  answer("page.getProperties",
         {{"properties", {{"url", nullptr}, {"title", nullptr}, {"usesPrivateBrowsing", false}}}});
  auto empty = properties();
  ASSERT_TRUE(empty && *empty);
  EXPECT_FALSE((*empty)->url);
  EXPECT_FALSE((*empty)->title);
  EXPECT_FALSE((*empty)->usesPrivateBrowsing);

  answer("page.getProperties", {{"properties", nullptr}});
  auto gone = properties();
  ASSERT_TRUE(gone);
  EXPECT_FALSE(*gone);
}

// Null references, error replies, wrong shapes and a connection that is gone all give
// "nothing", and every completion still runs.
TEST_F(IpcSafariTest, EveryFailureDeliversNothingAndNeverHangs) {
  IpcSafariApplication application(extension);
  IpcSafariWindow window(extension, "window-3");
  IpcSafariTab tab(extension, "tab-7");
  IpcSafariPage page(extension, "page-12");

  auto nothingEverywhere = [&](const char* when) {
    SCOPED_TRACE(when);
    std::promise<bool> activeWindow, windows, openTab, tabs, toolbarItem, pages, activePage,
        containing, properties;
    application.getActiveWindow([&](auto w) { activeWindow.set_value(w == nullptr); });
    application.getAllWindows([&](auto list) { windows.set_value(list.empty()); });
    window.openTab("https://e.example/", true, [&](auto t) { openTab.set_value(t == nullptr); });
    window.getAllTabs([&](auto list) { tabs.set_value(list.empty()); });
    window.getToolbarItem([&](auto i) { toolbarItem.set_value(i == nullptr); });
    tab.getPages([&](auto list) { pages.set_value(list.empty()); });
    tab.getActivePage([&](auto p) { activePage.set_value(p == nullptr); });
    tab.getContainingWindow([&](auto w) { containing.set_value(w == nullptr); });
    page.getProperties([&](auto value) { properties.set_value(!value.has_value()); });
    for (auto* promise : {&activeWindow, &windows, &openTab, &tabs, &toolbarItem, &pages,
                          &activePage, &containing, &properties}) {
      auto future = promise->get_future();
      EXPECT_EQ(await(future), std::optional<bool>(true));
    }
  };

  // Nothing answered: every call gets an error reply.
  nothingEverywhere("error replies");

  answer("application.getActiveWindow", {{"window", nullptr}});
  answer("application.getAllWindows", {{"windows", nullptr}});
  answer("window.openTab", {{"tab", 7}});
  answer("window.getAllTabs", {{"tabs", Json::array()}});
  answer("window.getToolbarItem", {{"toolbarItem", ""}});
  answer("tab.getPages", {{"pages", "page-12"}});
  answer("tab.getActivePage", {{"page", nullptr}});
  answer("tab.getContainingWindow", Json::object());
  answer("page.getProperties", {{"properties", "not an object"}});
  nothingEverywhere("null and mistyped results");

  host.reset();  // safari-host hangs up
  nothingEverywhere("closed connection");
  extension.reset();  // the connection object itself is gone
  nothingEverywhere("no connection");
}

TEST_F(IpcSafariTest, ACallWaitingWhenTheBrowserHangsUpDeliversNothing) {
  std::optional<test::SocketPair> pair = test::socketPair();
  ASSERT_TRUE(pair);
  auto silent = ipc::Connection::start(pair->second.release(), {});  // the peer never answers
  IpcSafariWindow window(silent, "window-3");
  std::promise<bool> delivered;
  window.getActiveTab([&](auto tab) { delivered.set_value(tab == nullptr); });
  auto future = delivered.get_future();
  EXPECT_EQ(future.wait_for(100ms), std::future_status::timeout);  // still waiting
  pair->first.reset();
  EXPECT_EQ(await(future), std::optional<bool>(true));
}

}  // namespace
}  // namespace qv
