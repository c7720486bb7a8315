#include "platform/testing/TestPlatform.h"

namespace qv::testing {

Json TestPlatform::defaultInfoDictionary() {
  return Json{{"CFBundleName", "Quorvane for Safari"},
              {"CFBundleIdentifier", "com.quorvane.safari"},
              {"CFBundleExecutable", "Quorvane_for_Safari"},
              {"CFBundleShortVersionString", "1.0.0"},
              {"QVDeployment",
               {{"WebOrigin", "https://www.test.example"},
                {"BareDomain", "test.example"},
                {"AuthHost", "auth.test.example"},
                {"AnalyticsHost", "vorn.test.example"},
                {"LogHost", "log.test.example"}}}};
}

const char* TestPlatform::defaultClientInfo() {
  return R"({"clientType":"safari-ext","clientVersion":"1.2.3","vornClientType":"safari"})";
}

TestPlatform::TestPlatform()
    : bundle(std::make_shared<FakeBundle>("/fake/Quorvane_for_Safari.app")),
      defaults(std::make_shared<InMemoryUserDefaultsFactory>()),
      urlSession(std::make_shared<RecordingUrlSession>()),
      secretStore(std::make_shared<InMemorySecretStore>()),
      systemLog(std::make_shared<CapturedSystemLog>()),
      clock(std::make_shared<ManualClock>()),
      mainQueue(std::make_shared<ManualMainQueue>(clock)),
      crypto(std::make_shared<FakeCrypto>()) {
  bundle->setInfoDictionary(defaultInfoDictionary());
  bundle->addResource("clientInfo", "json", defaultClientInfo());
}

Platform TestPlatform::platform() const {
  return Platform{bundle, defaults, urlSession, secretStore, systemLog, mainQueue, clock, crypto};
}

std::shared_ptr<InMemoryUserDefaults> TestPlatform::sharedSuite() const {
  return defaults->suiteStore("K4ZT7P2QN8.group.com.quorvane.safari.extension");
}

}  // namespace qv::testing
