#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "companion/CompanionPlatform.h"
#include "companion/EnableExtensionNotification.h"
#include "companion/Env.h"
#include "platform/testing/FakeAppearance.h"
#include "platform/testing/FakeApplication.h"
#include "platform/testing/FakeNotificationCenter.h"
#include "platform/testing/FakeSafariExtensionManager.h"
#include "platform/testing/FakeWidgets.h"
#include "platform/testing/RecordingAlert.h"
#include "platform/testing/ScriptedCookieParser.h"
#include "platform/testing/TestPlatform.h"

namespace qv::testing {

// Every companion fake, wired together.
struct CompanionFakes {
  explicit CompanionFakes(const TestPlatform& common)
      : application(std::make_shared<FakeApplication>()),
        safari(std::make_shared<FakeSafariExtensionManager>()),
        alert(std::make_shared<RecordingAlert>(common.mainQueue)),
        notifications(std::make_shared<FakeNotificationCenter>()),
        appearance(std::make_shared<FakeAppearance>()),
        views(std::make_shared<FakeViewFactory>()),
        cookieParser(std::make_shared<ScriptedCookieParser>()) {}

  CompanionPlatform platform() const {
    return CompanionPlatform{application,   application, safari, alert,
                             notifications, appearance,  views,  cookieParser};
  }

  std::shared_ptr<FakeApplication> application;
  std::shared_ptr<FakeSafariExtensionManager> safari;
  std::shared_ptr<RecordingAlert> alert;
  std::shared_ptr<FakeNotificationCenter> notifications;
  std::shared_ptr<FakeAppearance> appearance;
  std::shared_ptr<FakeViewFactory> views;
  std::shared_ptr<ScriptedCookieParser> cookieParser;
};

// A companion environment over fakes, with helpers to read what went to the log host.
class CompanionTest : public ::testing::Test {
 protected:
  CompanionTest() : companionFakes(fakes), env(fakes.platform(), companionFakes.platform()) {}

  static constexpr const char* extensionId = "com.quorvane.safari.ext";

  // The log records sent so far (requests to other hosts are left out).
  std::vector<Json> logRecords() const {
    std::vector<Json> records;
    for (const auto& request : fakes.urlSession->requests()) {
      if (request.url.find("log.test.example/logv2") == std::string::npos) continue;
      records.push_back(Json::parse(toString(*request.body)));
    }
    return records;
  }

  // Checks that exactly one record went to the log: an ERROR of `logger` saying `message`.
  void expectOneErrorLogged(const std::string& logger, const std::string& message) const {
    auto records = logRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["logger"], logger);
    EXPECT_EQ(records[0]["level"], "ERROR");
    EXPECT_EQ(records[0]["message"], message);
  }

  // Checks that exactly one alert was shown, from the main queue: a critical one saying
  // `title` and `text`, with an OK button.
  void expectOneCriticalAlert(const std::string& title, const std::string& text) const {
    ASSERT_EQ(companionFakes.alert->shown().size(), 1u);
    EXPECT_EQ(companionFakes.alert->shown()[0],
              (AlertMessage{title, text, AlertStyle::critical, {"OK"}}));
    EXPECT_EQ(companionFakes.alert->offMainThreadCount(), 0);
  }

  // The reminder to enable the extension, as the companion arms it at launch.
  std::shared_ptr<EnableExtensionNotification> makeReminder() {
    return EnableExtensionNotification::create(*env.felog, env.appInfo.extensionBundleIdentifier,
                                               companionFakes.safari, companionFakes.notifications,
                                               companionFakes.alert, fakes.mainQueue);
  }

  std::optional<OAuthExchangeMessage> storedExchangeMessage() const {
    auto stored = env.sharedData->oauthExchangeMessage.optionalValue();
    if (!stored) return std::nullopt;
    return *stored;
  }

  TestPlatform fakes;
  CompanionFakes companionFakes;
  Env env;
};

}  // namespace qv::testing
