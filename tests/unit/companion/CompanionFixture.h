#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "companion/CompanionPlatform.h"
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
