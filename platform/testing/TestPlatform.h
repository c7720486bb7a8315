#pragma once

#include <memory>

#include "platform/Platform.h"
#include "platform/testing/CapturedSystemLog.h"
#include "platform/testing/FakeBundle.h"
#include "platform/testing/FakeCrypto.h"
#include "platform/testing/InMemorySecretStore.h"
#include "platform/testing/InMemoryUserDefaults.h"
#include "platform/testing/ManualMainQueue.h"
#include "platform/testing/RecordingUrlSession.h"

namespace qv::testing {

// Every fake, wired together, with typed access for the test. The bundle starts as a
// complete, valid companion bundle (Info.plist with deployment values, clientInfo.json).
struct TestPlatform {
  TestPlatform();

  std::shared_ptr<FakeBundle> bundle;
  std::shared_ptr<InMemoryUserDefaultsFactory> defaults;
  std::shared_ptr<RecordingUrlSession> urlSession;
  std::shared_ptr<InMemorySecretStore> secretStore;
  std::shared_ptr<CapturedSystemLog> systemLog;
  std::shared_ptr<ManualClock> clock;
  std::shared_ptr<ManualMainQueue> mainQueue;
  std::shared_ptr<FakeCrypto> crypto;

  Platform platform() const;
  // The app-group suite both deliverables share.
  std::shared_ptr<InMemoryUserDefaults> sharedSuite() const;

  static Json defaultInfoDictionary();
  static const char* defaultClientInfo();
};

}  // namespace qv::testing
