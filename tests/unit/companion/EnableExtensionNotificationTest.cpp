#include <gtest/gtest.h>

#include "companion/EnableExtensionNotification.h"
#include "tests/unit/companion/CompanionFixture.h"

namespace qv {
namespace {

class EnableExtensionNotificationTest : public testing::CompanionTest {
 protected:
  const std::vector<UserNotification>& delivered() const {
    return companionFakes.notifications->delivered();
  }
};

TEST_F(EnableExtensionNotificationTest, aStillDisabledExtensionGetsExactlyOneReminderAfterAMinute) {
  auto reminder = makeReminder();
  fakes.mainQueue->advance(59.9);
  EXPECT_TRUE(companionFakes.safari->stateRequests().empty()) << "asked too early";

  fakes.mainQueue->advance(0.1);
  EXPECT_EQ(companionFakes.safari->stateRequests(), (std::vector<std::string>{extensionId}));
  ASSERT_EQ(delivered().size(), 1u);
  const UserNotification& shown = delivered()[0];
  EXPECT_EQ(shown.title, "Quorvane is disabled");
  EXPECT_EQ(shown.informativeText, "Click Open to enable it in Safari settings");
  EXPECT_TRUE(shown.playsDefaultSound);
  EXPECT_TRUE(shown.hasActionButton);
  EXPECT_EQ(shown.actionButtonTitle, "Open");
  // The center asks before showing it over the application: always yes.
  EXPECT_TRUE(companionFakes.notifications->delegate()->shouldPresent(shown));

  fakes.mainQueue->advance(600);
  EXPECT_EQ(delivered().size(), 1u) << "one-shot";
  EXPECT_EQ(companionFakes.safari->stateRequests().size(), 1u);
}

TEST_F(EnableExtensionNotificationTest, anEnabledOrUnknownStateGivesNoReminderAndNoLog) {
  const std::vector<std::pair<std::optional<SafariExtensionState>, std::optional<SafariError>>>
      answers = {{SafariExtensionState{true}, std::nullopt},
                 {std::nullopt, SafariError{"Safari is not running"}},
                 {std::nullopt, std::nullopt}};
  for (const auto& [state, error] : answers) {
    companionFakes.safari->setState(state, error);
    auto reminder = makeReminder();
    fakes.mainQueue->advance(120);
  }
  EXPECT_EQ(companionFakes.safari->stateRequests().size(), 3u);
  EXPECT_TRUE(delivered().empty());
  EXPECT_TRUE(logRecords().empty());
}

TEST_F(EnableExtensionNotificationTest, clickingTheReminderOpensTheExtensionSettings) {
  auto reminder = makeReminder();
  fakes.mainQueue->advance(60);
  ASSERT_TRUE(companionFakes.notifications->activate(0));
  fakes.mainQueue->runUntilIdle();
  EXPECT_EQ(companionFakes.safari->preferencesRequests(), (std::vector<std::string>{extensionId}));
  EXPECT_TRUE(companionFakes.alert->shown().empty());
}

TEST_F(EnableExtensionNotificationTest, aFailureToOpenTheSettingsIsShownAndLogged) {
  auto reminder = makeReminder();
  companionFakes.safari->setShowPreferencesError(SafariError{"Safari is not running"});
  int completions = 0;
  reminder->showExtensionPreferences([&] { ++completions; });
  fakes.mainQueue->runUntilIdle();

  expectOneCriticalAlert("Could not open extensions settings", "Safari is not running");
  expectOneErrorLogged("companion.openExtensionsSettings",
                       "Could not open extensions settings: Safari is not running");
  EXPECT_EQ(completions, 1) << "the waiting caller still learns that it is over";
}

TEST_F(EnableExtensionNotificationTest, aReminderThatIsGoneNoLongerFires) {
  makeReminder().reset();
  fakes.mainQueue->advance(120);
  EXPECT_TRUE(companionFakes.safari->stateRequests().empty());
  EXPECT_TRUE(delivered().empty());
}

}  // namespace
}  // namespace qv
