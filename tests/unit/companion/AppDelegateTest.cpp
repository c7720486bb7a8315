#include <gtest/gtest.h>

#include "companion/AppDelegate.h"
#include "companion/MainMenu.h"
#include "companion/telemetry/Vorn.h"
#include "tests/unit/companion/CompanionFixture.h"

namespace qv {
namespace {

using testing::FakeWindow;

struct TrackedEvents final : VornListener {
  void didTrackEvent(const std::string& name, const Json& /*props*/) override {
    names.push_back(name);
  }
  std::vector<std::string> names;
};

class AppDelegateTest : public testing::CompanionTest {
 protected:
  AppDelegateTest() : delegate(std::make_shared<AppDelegate>(env)) {
    menu = std::make_shared<MainMenu>(*companionFakes.application, env.appInfo.appName,
                                      [this] { delegate->mainWindowController.showWindow(); });
    companionFakes.application->setMainMenu(menu);
    companionFakes.application->setDelegate(delegate);
  }

  std::shared_ptr<FakeWindow> window() const {
    auto windows = companionFakes.views->windows();
    return windows.empty() ? nullptr : windows.back();
  }

  std::shared_ptr<AppDelegate> delegate;
  std::shared_ptr<MainMenu> menu;
};

struct ExpectedItem {
  std::string title;
  MenuAction action;
  std::string key;
};

void expectItems(const Menu& menu, const std::vector<std::optional<ExpectedItem>>& expected) {
  ASSERT_EQ(menu.items().size(), expected.size()) << menu.title();
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const MenuItem& item = menu.items()[i];
    if (!expected[i]) {
      EXPECT_TRUE(item.isSeparator) << menu.title() << " item " << i;
      continue;
    }
    EXPECT_EQ(item.title, expected[i]->title);
    EXPECT_EQ(item.action, expected[i]->action) << item.title;
    EXPECT_EQ(item.keyEquivalent, expected[i]->key) << item.title;
    EXPECT_TRUE(item.commandModifier) << item.title;
  }
}

TEST_F(AppDelegateTest, theMenuBarHasTheApplicationFileAndWindowMenusOnly) {
  ASSERT_EQ(menu->items().size(), 3u);
  for (const MenuItem& top : menu->items()) {
    EXPECT_EQ(top.title, "");
    ASSERT_TRUE(top.submenu);
  }
  const Menu& app = *menu->items()[0].submenu;
  const Menu& file = *menu->items()[1].submenu;
  const Menu& window = *menu->items()[2].submenu;
  EXPECT_EQ(app.title(), "");
  EXPECT_EQ(file.title(), "File");
  EXPECT_EQ(window.title(), "Window");
  expectItems(
      app, {ExpectedItem{"About Quorvane for Safari", MenuAction::orderFrontStandardAboutPanel, ""},
            std::nullopt, ExpectedItem{"Quit Quorvane for Safari", MenuAction::terminate, "q"}});
  expectItems(file, {ExpectedItem{"Open\u2026", MenuAction::target, "o"}, std::nullopt,
                     ExpectedItem{"Close", MenuAction::performClose, "w"}});
  expectItems(window, {ExpectedItem{"Minimize", MenuAction::performMiniaturize, "m"}, std::nullopt,
                       ExpectedItem{"Bring All to Front", MenuAction::arrangeInFront, ""}});
  EXPECT_EQ(companionFakes.application->windowsMenu(), menu->items()[2].submenu);
}

TEST_F(AppDelegateTest, launchingRegistersTheCallbackThenShowsTheWindowAndReportsTheStart) {
  auto events = std::make_shared<TrackedEvents>();
  env.tracker->vorn().listeners->add(events);
  EXPECT_FALSE(companionFakes.application->openUrl("quorvane.extension://oauth?code=A"))
      << "no handler before launch";

  companionFakes.application->launch();

  auto standard = fakes.defaults->standardStore("com.quorvane.safari");
  EXPECT_EQ(standard->boolean("NSFullScreenMenuItemEverywhere"), false);
  EXPECT_TRUE(
      companionFakes.application->openUrl("quorvane.extension://oauth?code=A&code_challenge=B"));
  EXPECT_EQ(env.sharedData->oauthExchangeMessage.value(), (OAuthExchangeMessage{"A", "B"}));

  ASSERT_EQ(companionFakes.views->windows().size(), 1u);
  auto shown = window();
  EXPECT_EQ(shown->contentRect(), (Rect{0, 0, 550, 367}));
  EXPECT_EQ(shown->styleMask(), windowStyleTitled | windowStyleClosable |
                                    windowStyleMiniaturizable | windowStyleFullSizeContentView);
  EXPECT_EQ(shown->title(), "Quorvane for Safari");
  EXPECT_TRUE(shown->titleHidden());
  EXPECT_TRUE(shown->titlebarAppearsTransparent());
  EXPECT_TRUE(shown->movableByWindowBackground());
  EXPECT_TRUE(shown->centered());
  EXPECT_TRUE(shown->isVisible());
  EXPECT_EQ(shown->contentView(),
            delegate->mainWindowController.window()->contentViewController().view()->view);
  ASSERT_EQ(companionFakes.application->windowsItems().size(), 1u);
  EXPECT_EQ(companionFakes.application->windowsItems()[0].title, "Quorvane for Safari");
  EXPECT_FALSE(companionFakes.application->windowsItems()[0].isFilename);

  EXPECT_EQ(events->names, (std::vector<std::string>{"companion/app-start"}));
}

TEST_F(AppDelegateTest, closingKeepsTheApplicationAndReopeningShowsTheSameWindow) {
  companionFakes.application->launch();
  auto shown = window();
  shown->performClose();
  EXPECT_FALSE(shown->isVisible());
  EXPECT_FALSE(companionFakes.application->terminated());

  EXPECT_EQ(companionFakes.application->reopen(false), true);
  EXPECT_TRUE(shown->isVisible());
  EXPECT_EQ(shown->showCount(), 2);
  EXPECT_EQ(companionFakes.views->windows().size(), 1u) << "no second window";
  EXPECT_EQ(companionFakes.application->windowsItems().size(), 1u) << "listed once";

  // With the window on screen re-opening leaves it alone, and still answers true.
  EXPECT_EQ(companionFakes.application->reopen(true), true);
  EXPECT_EQ(shown->showCount(), 2);
}

TEST_F(AppDelegateTest, openFromTheFileMenuShowsTheWindowAgain) {
  companionFakes.application->launch();
  auto shown = window();
  shown->performMiniaturize();
  EXPECT_FALSE(shown->isVisible());
  const MenuItem& open = menu->items()[1].submenu->items()[0];
  ASSERT_TRUE(open.perform);
  open.perform();
  EXPECT_TRUE(shown->isVisible());
}

TEST_F(AppDelegateTest, creatingTheDelegateArmsTheReminder) {
  fakes.mainQueue->advance(60);
  EXPECT_EQ(companionFakes.notifications->delivered().size(), 1u);
}

}  // namespace
}  // namespace qv
