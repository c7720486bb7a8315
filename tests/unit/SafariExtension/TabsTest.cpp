#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "SafariExtension/Tabs.h"
#include "platform/testing/FakeBrowser.h"

namespace qv {
namespace {

using testing::FakeBrowser;
using Strings = std::vector<std::string>;

// The value a future delivers synchronously; absent when it has not delivered.
template <typename T>
std::optional<T> valueOf(const Future<T>& future) {
  std::optional<T> result;
  future([&](T value) { result = std::move(value); });
  return result;
}

class TabsTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeBrowser> browser = std::make_shared<FakeBrowser>();
  Tabs tabs{browser};
  const std::string url = "https://www.test.example/signin?x=1";
};

TEST_F(TabsTest, opensInTheActiveWindowThenTheFirstWindow) {
  auto background = browser->addWindow(/*makeActive=*/false);
  auto front = browser->addWindow();
  background->addTab("https://other.example/");

  auto result = valueOf(tabs.openTab(url, false, /*activate=*/true));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->error, std::nullopt);
  EXPECT_EQ(result->tab, front->activeTab());
  EXPECT_EQ(browser->calls(),
            (Strings{"getActiveWindow", front->id() + ".openTab " + url + " active=true"}));

  browser->setActiveWindow(nullptr);
  result = valueOf(tabs.openTab(url, false, /*activate=*/false));
  ASSERT_TRUE(result && result->tab);
  EXPECT_EQ(background->tabs().size(), 2u);
  EXPECT_NE(background->activeTab(), result->tab);  // not activated
  EXPECT_EQ(browser->calls().back(), background->id() + ".openTab " + url + " active=false");
}

TEST_F(TabsTest, opensANewWindowWhenThereIsNoneOrWhenForced) {
  auto result = valueOf(tabs.openTab(url, false, true));
  ASSERT_TRUE(result && result->tab);
  EXPECT_EQ(result->error, std::nullopt);
  ASSERT_EQ(browser->windows().size(), 1u);
  std::string opened = browser->windows()[0]->id();
  EXPECT_EQ(browser->calls(), (Strings{"getActiveWindow", "getAllWindows", "openWindow " + url,
                                       opened + ".getAllTabs"}));
  EXPECT_EQ(result->tab, browser->windows()[0]->tabs()[0]);

  browser->addWindow();
  auto before = browser->calls().size();
  result = valueOf(tabs.openTab(url, /*forceNewWindow=*/true, true));
  ASSERT_TRUE(result && result->tab);
  EXPECT_EQ(browser->calls()[before], "openWindow " + url);  // the active window is not asked
  EXPECT_EQ(browser->windows().size(), 3u);
}

TEST_F(TabsTest, reportsFailuresAndUnexpectedTabCounts) {
  browser->setNewWindowTabCount(2);
  auto result = valueOf(tabs.openTab(url, true, true));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->tab, browser->windows()[0]->tabs()[0]);
  EXPECT_EQ(result->error, "unexpected tab count=2 in newly opened window");

  browser->setNewWindowTabCount(0);
  result = valueOf(tabs.openInWindow(nullptr, url, true));
  EXPECT_EQ(result->tab, nullptr);
  EXPECT_EQ(result->error, "unexpected tab count=0 in newly opened window");

  browser->setOpenWindowFails(true);
  result = valueOf(tabs.openTab(url, true, true));
  EXPECT_EQ(result->tab, nullptr);
  EXPECT_EQ(result->error, "could not open window");

  auto window = browser->addWindow();
  window->setOpenTabFails(true);
  result = valueOf(tabs.openTab(url, false, true));
  EXPECT_EQ(result->tab, nullptr);
  EXPECT_EQ(result->error, "could not open tab");
}

TEST_F(TabsTest, tabShowsAUrlWhenSchemeHostAndPathMatch) {
  auto tab = browser->addWindow()->addTab("https://www.test.example/signin?code=1#top");
  auto showing = [&](const std::string& reference) {
    return valueOf(Tabs::isTabShowing(tab, reference)).value_or(nullptr);
  };
  EXPECT_EQ(showing("https://www.test.example/signin"), tab);
  EXPECT_EQ(showing("https://www.test.example/signin?other=2"), tab);
  EXPECT_EQ(showing("https://www.test.example/signin/"), nullptr);
  EXPECT_EQ(showing("https://www.test.example/other"), nullptr);
  EXPECT_EQ(showing("http://www.test.example/signin"), nullptr);
  EXPECT_EQ(showing("https://test.example/signin"), nullptr);
  EXPECT_EQ(showing("not a url"), nullptr);

  tab->page()->setUrl(std::nullopt);
  EXPECT_EQ(showing("https://www.test.example/signin"), nullptr);
  tab->page()->setHasProperties(false);
  EXPECT_EQ(showing("https://www.test.example/signin"), nullptr);
  tab->showPage(std::nullopt);  // no page at all
  EXPECT_EQ(showing("https://www.test.example/signin"), nullptr);
}

TEST_F(TabsTest, closesTheWindowOnlyForItsLastTab) {
  auto window = browser->addWindow();
  auto first = window->addTab("https://a.example/");
  auto second = window->addTab("https://b.example/");

  EXPECT_TRUE(valueOf(Tabs::closeTabOrWindow(window, second)));
  EXPECT_TRUE(second->isClosed());
  EXPECT_FALSE(window->isClosed());

  EXPECT_TRUE(valueOf(Tabs::closeTabOrWindow(window, first)));
  EXPECT_TRUE(window->isClosed());
  EXPECT_FALSE(first->isClosed());
  EXPECT_TRUE(browser->windows().empty());
}

TEST_F(TabsTest, chainsContinueOnTheThreadThatDelivers) {
  browser->holdCompletions(true);
  std::atomic<bool> delivered = false;
  std::optional<OpenTabResult> result;
  tabs.openTab(url, false, true)([&](OpenTabResult value) {
    result = std::move(value);
    delivered = true;
  });
  EXPECT_FALSE(delivered);
  std::thread platformThread([&] { browser->releaseHeld(); });
  platformThread.join();
  ASSERT_TRUE(delivered);
  EXPECT_TRUE(result->tab);
  EXPECT_EQ(result->error, std::nullopt);
}

TEST_F(TabsTest, activeTabChainsEndSilentlyWhenAStepYieldsNothing) {
  int calls = 0;
  auto count = [&](auto) { ++calls; };
  tabs.withActiveTab(count);
  tabs.withEachActiveTabPage(count);
  tabs.withActiveToolbarItem(count);
  auto window = browser->addWindow();
  tabs.withActiveTab(count);  // a window without tabs
  window->setToolbarItem(nullptr);
  tabs.withActiveToolbarItem(count);
  window->addTab(std::nullopt);  // a tab without a page
  tabs.withEachActiveTabPage(count);
  EXPECT_EQ(calls, 0);

  window->addTab("https://a.example/");
  tabs.withActiveTab(count);
  tabs.withEachActiveTabPage(count);
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace qv
