#include "Common/OAuthUtils.h"

#include "platform/Url.h"

namespace qv::OAuthUtils {

std::optional<OAuthResultUrlData> parseResultUrl(const std::optional<std::string>& url) {
  if (!url) return std::nullopt;
  std::optional<UrlComponents> parts = UrlComponents::parse(*url);
  if (!parts || !parts->queryItems) return std::nullopt;
  // The URL parser folds the scheme to lower case; the callback's scheme must match as
  // written.
  const std::string scheme = callbackScheme;
  if (url->compare(0, scheme.size() + 1, scheme + ":") != 0) return std::nullopt;
  if (parts->scheme != scheme || parts->host != callbackHost) return std::nullopt;
  if (parts->path != "/" && !parts->path.empty()) return std::nullopt;

  std::optional<std::string> code;
  std::optional<std::string> challenge;
  for (const QueryItem& item : *parts->queryItems) {
    if (item.name == "code") code = item.value;
    if (item.name == "code_challenge") challenge = item.value;
  }
  if (!code || !challenge) return std::nullopt;
  return OAuthResultUrlData{*code, *challenge};
}

}  // namespace qv::OAuthUtils
