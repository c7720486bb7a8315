#include <gtest/gtest.h>

#include "companion/EnableExtensionView/EnableExtensionViewController.h"
#include "tests/unit/companion/CompanionFixture.h"

namespace qv {
namespace {

using testing::FakeButton;
using testing::FakeImageView;
using testing::FakeTextLabel;
using testing::FakeView;

class EnableExtensionViewTest : public testing::CompanionTest {
 protected:
  void SetUp() override { notification = makeReminder(); }

  std::shared_ptr<EnableExtensionView> makeScreen() {
    controller = std::make_unique<EnableExtensionViewController>(env, notification);
    return controller->view();
  }

  // The screen once the browser's first answer said the extension is on.
  std::shared_ptr<EnableExtensionView> enabledScreen() {
    companionFakes.safari->setState(SafariExtensionState{true});
    auto screen = makeScreen();
    poll();
    return screen;
  }

  // The first answer, then `seconds` more poll steps.
  void poll(double seconds = 0) {
    fakes.mainQueue->runUntilIdle();
    fakes.mainQueue->advance(seconds);
  }

  static FakeView& fake(const std::shared_ptr<View>& view) {
    return dynamic_cast<FakeView&>(*view);
  }
  static FakeButton& fake(const std::shared_ptr<Button>& button) {
    return dynamic_cast<FakeButton&>(*button);
  }
  static std::vector<std::string> texts(const FakeView& panel) {
    std::vector<std::string> result;
    for (const auto& label : panel.descendants<FakeTextLabel>()) result.push_back(label->text());
    return result;
  }
  static std::vector<std::string> images(const FakeView& panel) {
    std::vector<std::string> result;
    for (const auto& image : panel.descendants<FakeImageView>()) {
      result.push_back(image->imageName());
    }
    return result;
  }
  std::vector<std::string> openLoginTabMessages() const {
    std::vector<std::string> names;
    for (const auto& message : companionFakes.safari->dispatched()) {
      if (message.name == "oauthOpenLoginTab") names.push_back(message.name);
    }
    return names;
  }
  std::size_t stateLogCount() const {
    std::size_t count = 0;
    for (const auto& record : logRecords()) {
      if (record["logger"] == "companion.getExtensionState") ++count;
    }
    return count;
  }

  std::shared_ptr<EnableExtensionNotification> notification;
  std::unique_ptr<EnableExtensionViewController> controller;
};

TEST_F(EnableExtensionViewTest, buildsBothPanelsWithTheirTextsImagesAndLightColours) {
  auto screen = makeScreen();
  EXPECT_EQ(screen->view->frame(), (Rect{0, 0, 550, 367}));
  EXPECT_EQ(screen->extensionEnabledPanel->frame(), (Rect{0, 0, 550, 367}));
  EXPECT_EQ(screen->enableExtensionPanel->frame(), (Rect{0, 0, 550, 367}));
  // Neither panel shows before the browser has answered.
  EXPECT_TRUE(screen->extensionEnabledPanel->isHidden());
  EXPECT_TRUE(screen->enableExtensionPanel->isHidden());

  FakeView& allSet = fake(screen->extensionEnabledPanel);
  EXPECT_EQ(
      texts(allSet),
      (std::vector<std::string>{
          "You\u2019re all set! ",
          "If you don\u2019t see Quorvane in your \nSafari toolbar, try restarting Safari."}));
  EXPECT_EQ(images(allSet), (std::vector<std::string>{"QuorvaneMark", "DoneMark"}));
  EXPECT_EQ(screen->openSafariButton->title(), "Ok, got it");

  FakeView& enable = fake(screen->enableExtensionPanel);
  EXPECT_EQ(texts(enable), (std::vector<std::string>{"Open settings\nClick checkbox\n"
                                                     "\n\nto grant permission "}));
  EXPECT_EQ(images(enable),
            (std::vector<std::string>{"EnableQuorvaneAnimationLight", "LightWarningMark"}));
  EXPECT_EQ(screen->openSafariExtensionPreferencesButton->title(),
            "Open settings to enable Quorvane");

  EXPECT_EQ(screen->colorScheme, ColorScheme::light());
  EXPECT_EQ(allSet.backgroundColor(), (Color{1, 1, 1, 1}));
  EXPECT_EQ(allSet.descendants<FakeTextLabel>()[0]->textColor(),
            (Color{0x1C / 255.0, 0x1E / 255.0, 0x29 / 255.0, 1}));
  auto style = fake(screen->openSafariButton).style();
  ASSERT_TRUE(style);
  EXPECT_EQ(style->background, (Color{0x19 / 255.0, 0x6D / 255.0, 0xEF / 255.0, 1}));
  EXPECT_EQ(style->disabledBackground, (Color{1, 1, 1, 1}));
  EXPECT_EQ(style->disabledBorder, (Color{0xE4 / 255.0, 0xE4 / 255.0, 0xE4 / 255.0, 1}));
}

TEST_F(EnableExtensionViewTest, switchingToDarkRecoloursEverythingInPlace) {
  auto screen = makeScreen();
  companionFakes.appearance->setDark(true);

  EXPECT_EQ(screen->colorScheme, ColorScheme::dark());
  FakeView& enable = fake(screen->enableExtensionPanel);
  EXPECT_EQ(enable.backgroundColor(), (Color{0x1C / 255.0, 0x1D / 255.0, 0x23 / 255.0, 1}));
  EXPECT_EQ(images(enable),
            (std::vector<std::string>{"EnableQuorvaneAnimationDark", "DarkWarningMark"}));
  EXPECT_EQ(enable.descendants<FakeTextLabel>()[0]->textColor(),
            (Color{0xDD / 255.0, 0xDD / 255.0, 0xDE / 255.0, 1}));
  auto style = fake(screen->openSafariExtensionPreferencesButton).style();
  ASSERT_TRUE(style);
  EXPECT_EQ(style->background, (Color{0x17 / 255.0, 0x68 / 255.0, 0xE5 / 255.0, 1}));
  EXPECT_EQ(style->disabledBackground, (Color{0x48 / 255.0, 0x48 / 255.0, 0x48 / 255.0, 1}));
  EXPECT_EQ(style->disabledBorder, (Color{0x57 / 255.0, 0x57 / 255.0, 0x57 / 255.0, 1}));

  companionFakes.appearance->setDark(false);
  EXPECT_EQ(images(enable),
            (std::vector<std::string>{"EnableQuorvaneAnimationLight", "LightWarningMark"}));
}

TEST_F(EnableExtensionViewTest, thePollShowsThePanelForEachAnswerOncePerSecond) {
  auto screen = makeScreen();
  ASSERT_EQ(companionFakes.safari->stateRequests(),
            (std::vector<std::string>{extensionId}));  // the first step runs at once

  poll();
  EXPECT_FALSE(screen->enableExtensionPanel->isHidden()) << "disabled";
  EXPECT_TRUE(screen->extensionEnabledPanel->isHidden());

  companionFakes.safari->setState(SafariExtensionState{true});
  poll(1.0);
  EXPECT_EQ(companionFakes.safari->stateRequests().size(), 2u);
  EXPECT_FALSE(screen->extensionEnabledPanel->isHidden()) << "enabled";
  EXPECT_TRUE(screen->enableExtensionPanel->isHidden());

  companionFakes.safari->setState(std::nullopt, SafariError{"Safari is not running"});
  poll(1.0);
  EXPECT_FALSE(screen->enableExtensionPanel->isHidden()) << "error";
  EXPECT_TRUE(screen->extensionEnabledPanel->isHidden());

  companionFakes.safari->setState(SafariExtensionState{true});
  poll(1.0);
  companionFakes.safari->setState(std::nullopt);
  poll(1.0);
  EXPECT_FALSE(screen->enableExtensionPanel->isHidden()) << "no state";
  EXPECT_TRUE(screen->extensionEnabledPanel->isHidden());

  poll(10.0);
  EXPECT_EQ(companionFakes.safari->stateRequests().size(), 15u);
}

TEST_F(EnableExtensionViewTest, aVisiblePanelIsLeftUntouchedByLaterAnswers) {
  auto screen = enabledScreen();
  int changes = fake(screen->extensionEnabledPanel).hiddenChanges();
  poll(5.0);
  EXPECT_EQ(fake(screen->extensionEnabledPanel).hiddenChanges(), changes);
  EXPECT_FALSE(screen->extensionEnabledPanel->isHidden());
}

TEST_F(EnableExtensionViewTest, aBrowserThatNeverAnswersGetsNoFurtherRequests) {
  companionFakes.safari->holdCompletions(true);
  auto screen = makeScreen();
  poll(5.0);
  EXPECT_EQ(companionFakes.safari->stateRequests().size(), 1u);
  companionFakes.safari->releaseHeld();
  poll(1.0);
  EXPECT_EQ(companionFakes.safari->stateRequests().size(), 2u);
}

TEST_F(EnableExtensionViewTest, stateFailuresAreLoggedOncePerRun) {
  auto screen = makeScreen();
  companionFakes.safari->setState(std::nullopt, SafariError{"Safari is not running"});
  poll(3.0);
  companionFakes.safari->setState(std::nullopt);
  poll(3.0);

  expectOneErrorLogged("companion.getExtensionState",
                       "Could not get extension state: Safari is not running");
}

TEST_F(EnableExtensionViewTest, aMissingStateIsLoggedAsANilResult) {
  companionFakes.safari->setState(std::nullopt);
  auto screen = makeScreen();
  poll(3.0);
  ASSERT_EQ(stateLogCount(), 1u);
  EXPECT_EQ(logRecords()[0]["message"], "Could not get extension state: nil result");
}

TEST_F(EnableExtensionViewTest, theLoginTabOpensOnceWhenTheExtensionIsFirstSeenEnabled) {
  auto screen = enabledScreen();
  EXPECT_EQ(openLoginTabMessages().size(), 1u);
  EXPECT_EQ(env.sharedData->oauthOpenLoginTabMessage.value(), true);
  EXPECT_FALSE(env.oauth->shouldAutoOpenLoginTab);

  // Disabled and enabled again: still only once per run.
  companionFakes.safari->setState(SafariExtensionState{false});
  poll(1.0);
  companionFakes.safari->setState(SafariExtensionState{true});
  poll(3.0);
  EXPECT_EQ(openLoginTabMessages().size(), 1u);
}

TEST_F(EnableExtensionViewTest, anAnonymousUserCountsAsSignedOut) {
  env.sharedData->userInfo.setValue(UserInfo{"u1", false, true, "c1"});
  auto screen = enabledScreen();
  EXPECT_EQ(openLoginTabMessages().size(), 1u);
}

TEST_F(EnableExtensionViewTest, aSignedInUserConsumesTheLoginTabWithoutOpeningIt) {
  env.sharedData->userInfo.setValue(UserInfo{"u1", false, false, "c1"});
  auto screen = enabledScreen();
  EXPECT_TRUE(openLoginTabMessages().empty());
  EXPECT_FALSE(env.oauth->shouldAutoOpenLoginTab);
  // Signing out later does not bring it back.
  env.sharedData->userInfo.setValue(std::nullopt);
  poll(2.0);
  EXPECT_TRUE(openLoginTabMessages().empty());
  EXPECT_FALSE(env.sharedData->oauthOpenLoginTabMessage.value().has_value());
}

TEST_F(EnableExtensionViewTest, noLoginTabAfterACallback) {
  auto screen = makeScreen();
  poll();  // disabled so far
  companionFakes.application->setEventHandler(
      [this](const AppleEventDescriptor& event, AppleEventDescriptor& reply) {
        env.oauth->handleGetURLWithEvent(event, reply);
      },
      kInternetEventClass, kAEGetURL);
  companionFakes.application->openUrl("quorvane.extension://oauth?code=A&code_challenge=B");
  companionFakes.safari->setState(SafariExtensionState{true});
  poll(3.0);
  EXPECT_FALSE(screen->extensionEnabledPanel->isHidden());
  EXPECT_TRUE(openLoginTabMessages().empty());
}

TEST_F(EnableExtensionViewTest, okGotItOpensSafariAndStaysDisabledOnSuccess) {
  env.oauth->shouldAutoOpenLoginTab = false;
  auto screen = enabledScreen();
  ASSERT_TRUE(fake(screen->openSafariButton).click());
  fakes.mainQueue->runUntilIdle();

  auto sent = companionFakes.safari->dispatched();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].name, "openSafari");
  EXPECT_EQ(sent[0].extensionIdentifier, extensionId);
  EXPECT_FALSE(sent[0].userInfo.has_value());
  EXPECT_FALSE(screen->openSafariButton->isEnabled());
  EXPECT_TRUE(companionFakes.alert->shown().empty());
  EXPECT_FALSE(fake(screen->openSafariButton).click()) << "a disabled button takes no click";
}

TEST_F(EnableExtensionViewTest, aFailureToOpenSafariIsShownLoggedAndReenablesTheButton) {
  env.oauth->shouldAutoOpenLoginTab = false;
  auto screen = enabledScreen();
  companionFakes.safari->setDispatchError(SafariError{"Safari is not running"});
  companionFakes.safari->holdCompletions(true);
  screen->openSafari();
  EXPECT_FALSE(screen->openSafariButton->isEnabled());
  companionFakes.safari->releaseHeld();
  EXPECT_FALSE(screen->openSafariButton->isEnabled()) << "restored on the main queue only";

  fakes.mainQueue->runUntilIdle();
  EXPECT_TRUE(screen->openSafariButton->isEnabled());
  expectOneCriticalAlert("Could not open Safari", "Safari is not running");
  expectOneErrorLogged("companion.openSafari", "Could not open Safari: Safari is not running");
}

TEST_F(EnableExtensionViewTest, openSettingsShowsOpeningUntilTheBrowserAnswers) {
  auto screen = makeScreen();
  poll();
  Button& button = *screen->openSafariExtensionPreferencesButton;
  companionFakes.safari->holdCompletions(true);
  ASSERT_TRUE(fake(screen->openSafariExtensionPreferencesButton).click());
  EXPECT_EQ(button.title(), "Opening...");
  EXPECT_FALSE(button.isEnabled());
  EXPECT_EQ(companionFakes.safari->preferencesRequests(), (std::vector<std::string>{extensionId}));

  companionFakes.safari->releaseHeld();
  fakes.mainQueue->runUntilIdle();
  EXPECT_EQ(button.title(), "Open settings to enable Quorvane");
  EXPECT_TRUE(button.isEnabled());
  EXPECT_TRUE(companionFakes.alert->shown().empty());
}

TEST_F(EnableExtensionViewTest, openSettingsRecoversFromAFailure) {
  auto screen = makeScreen();
  poll();
  companionFakes.safari->setShowPreferencesError(SafariError{"Safari is not running"});
  screen->openSafariExtensionPreferences();
  fakes.mainQueue->runUntilIdle();

  Button& button = *screen->openSafariExtensionPreferencesButton;
  EXPECT_EQ(button.title(), "Open settings to enable Quorvane");
  EXPECT_TRUE(button.isEnabled());
  ASSERT_EQ(companionFakes.alert->shown().size(), 1u);
  EXPECT_EQ(companionFakes.alert->shown()[0].messageText, "Could not open extensions settings");
}

TEST_F(EnableExtensionViewTest, theScreenStopsPollingAndObservingOnceItIsGone) {
  auto screen = makeScreen();
  poll(2.0);
  ASSERT_EQ(companionFakes.appearance->observerCount(), 1u);
  std::size_t requests = companionFakes.safari->stateRequests().size();
  screen.reset();
  controller.reset();

  poll(5.0);
  EXPECT_EQ(companionFakes.safari->stateRequests().size(), requests);
  EXPECT_EQ(companionFakes.appearance->observerCount(), 0u);
}

}  // namespace
}  // namespace qv
