#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "companion/telemetry/VornClient.h"
#include "platform/UrlSession.h"
#include "platform/testing/TestPlatform.h"

namespace qv::testing {

inline constexpr const char* companionBundleId = "com.quorvane.safari";

// The service the telemetry objects under test are pointed at.
inline constexpr const char* authHost = "auth.test.example";
inline constexpr const char* userUrl = "https://auth.test.example/v3/user/oranonymous";
inline constexpr const char* vornHost = "vorn.test.example";
inline constexpr const char* vornEndpoint = "https://vorn.test.example/";
inline constexpr const char* webOrigin = "https://www.test.example";

// The value of the one header `name` (exact case); absent when missing. A repeated
// header fails the test.
inline std::optional<std::string> header(const UrlRequest& request, const std::string& name) {
  std::optional<std::string> found;
  for (const auto& [key, value] : request.headers) {
    if (key != name) continue;
    EXPECT_FALSE(found) << "header " << name << " sent twice";
    found = value;
  }
  return found;
}

// The request body as JSON (member order ignored when compared); null when absent or
// not JSON.
inline nlohmann::json bodyOf(const UrlRequest& request) {
  if (!request.body) return nullptr;
  return nlohmann::json::parse(toString(*request.body), nullptr, false);
}

inline VornServices vornServices(const TestPlatform& fakes) {
  return VornServices{fakes.urlSession, fakes.defaults->standardStore(companionBundleId),
                      fakes.clock, fakes.crypto, fakes.mainQueue};
}

}  // namespace qv::testing
