#include "platform/linux/safari/IpcSafari.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>

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

  template <typename Handle>
  std::optional<std::string> idOf(const std::shared_ptr<Handle>& handle) {
    return handle ? std::optional<std::string>(handle->id()) : std::nullopt;
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

  std::promise<std::shared_ptr<SafariWindow>> active;
  application.getActiveWindow([&](auto window) { active.set_value(window); });
  auto activeFuture = active.get_future();
  std::shared_ptr<SafariWindow> window = await(activeFuture).value_or(nullptr);
  ASSERT_TRUE(window);
  EXPECT_EQ(window->id(), "window-3");
  test::ReceivedCall call = lastCall(1);
  EXPECT_TRUE(call.wantsReply);
  EXPECT_TRUE(test::sameJson(call.args, Json::object()));

  std::promise<std::vector<std::string>> all;
  application.getAllWindows([&](auto windows) {
    std::vector<std::string> ids;
    for (auto& each : windows) ids.push_back(each->id());
    all.set_value(ids);
  });
  auto allFuture = all.get_future();
  EXPECT_EQ(await(allFuture), (std::vector<std::string>{"window-3", "window-4"}));

  std::promise<std::optional<std::string>> opened;
  application.openWindow("https://a.example/", [&](auto w) { opened.set_value(idOf(w)); });
  auto openedFuture = opened.get_future();
  EXPECT_EQ(await(openedFuture), std::optional<std::string>("window-5"));
  EXPECT_TRUE(test::sameJson(lastCall(3).args, Json{{"url", "https://a.example/"}}));

  std::promise<std::optional<std::string>> tabOpened;
  window->openTab("https://b.example/", false, [&](auto tab) { tabOpened.set_value(idOf(tab)); });
  auto tabOpenedFuture = tabOpened.get_future();
  EXPECT_EQ(await(tabOpenedFuture), std::optional<std::string>("tab-7"));
  EXPECT_TRUE(test::sameJson(lastCall(4).args, Json{{"window", "window-3"},
                                                    {"url", "https://b.example/"},
                                                    {"makeActiveIfPossible", false}}));

  std::promise<std::vector<std::string>> tabs;
  window->getAllTabs([&](auto list) {
    std::vector<std::string> ids;
    for (auto& each : list) ids.push_back(each->id());
    tabs.set_value(ids);
  });
  auto tabsFuture = tabs.get_future();
  EXPECT_EQ(await(tabsFuture), (std::vector<std::string>{"tab-7", "tab-9"}));

  std::promise<std::shared_ptr<SafariTab>> activeTab;
  window->getActiveTab([&](auto tab) { activeTab.set_value(tab); });
  auto activeTabFuture = activeTab.get_future();
  std::shared_ptr<SafariTab> tab = await(activeTabFuture).value_or(nullptr);
  ASSERT_TRUE(tab);
  EXPECT_TRUE(test::sameJson(lastCall(6).args, Json{{"window", "window-3"}}));

  std::promise<std::optional<std::string>> item;
  window->getToolbarItem([&](auto toolbarItem) { item.set_value(idOf(toolbarItem)); });
  auto itemFuture = item.get_future();
  EXPECT_EQ(await(itemFuture), std::optional<std::string>("toolbarItem-3"));

  std::promise<std::vector<std::string>> pages;
  tab->getPages([&](auto list) {
    std::vector<std::string> ids;
    for (auto& each : list) ids.push_back(each->id());
    pages.set_value(ids);
  });
  auto pagesFuture = pages.get_future();
  EXPECT_EQ(await(pagesFuture), (std::vector<std::string>{"page-12"}));
  EXPECT_TRUE(test::sameJson(lastCall(8).args, Json{{"tab", "tab-7"}}));

  std::promise<std::optional<std::string>> activePage;
  tab->getActivePage([&](auto page) { activePage.set_value(idOf(page)); });
  auto activePageFuture = activePage.get_future();
  EXPECT_EQ(await(activePageFuture), std::optional<std::string>("page-12"));

  std::promise<std::optional<std::string>> containing;
  tab->getContainingWindow([&](auto w) { containing.set_value(idOf(w)); });
  auto containingFuture = containing.get_future();
  EXPECT_EQ(await(containingFuture), std::optional<std::string>("window-3"));

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
    std::promise<std::optional<SafariPageProperties>> got;
    page.getProperties([&](auto value) { got.set_value(value); });
    auto future = got.get_future();
    return await(future);
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
