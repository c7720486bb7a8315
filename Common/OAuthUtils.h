#pragma once

#include <optional>
#include <string>

namespace qv {

// What the sign-in page hands back through the callback URL.
struct OAuthResultUrlData {
  std::string code;
  std::string codeChallenge;

  bool operator==(const OAuthResultUrlData&) const = default;
};

namespace OAuthUtils {

inline constexpr const char* callbackScheme = "quorvane.extension";
inline constexpr const char* callbackHost = "oauth";

// Reads "quorvane.extension://oauth[/]?code=…&code_challenge=…". Scheme and host
// compare exactly (case included), the path is "/" or empty, a later query item of the
// same name overrides an earlier one and an item without a value clears it. Absent
// unless both the code and the challenge are present.
std::optional<OAuthResultUrlData> parseResultUrl(const std::optional<std::string>& url);

}  // namespace OAuthUtils
}  // namespace qv
