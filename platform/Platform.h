#pragma once

#include <memory>

#include "platform/Bundle.h"
#include "platform/Clock.h"
#include "platform/Crypto.h"
#include "platform/MainQueue.h"
#include "platform/SecretStore.h"
#include "platform/SystemLog.h"
#include "platform/UrlSession.h"
#include "platform/UserDefaults.h"

namespace qv {

// The platform facilities both deliverables use, handed to the core by `main`
// (production implementations in platform/linux) or by a test (platform/testing).
// Every member is set; the core never replaces one.
struct Platform {
  std::shared_ptr<Bundle> mainBundle;
  std::shared_ptr<UserDefaultsFactory> defaults;
  std::shared_ptr<UrlSession> urlSession;
  std::shared_ptr<SecretStore> secretStore;
  std::shared_ptr<SystemLog> systemLog;
  std::shared_ptr<MainQueue> mainQueue;
  std::shared_ptr<Clock> clock;
  std::shared_ptr<Crypto> crypto;
};

}  // namespace qv
