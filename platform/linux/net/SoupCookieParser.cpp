#include "platform/linux/net/SoupCookieParser.h"

#include <libsoup/soup.h>
#include <strings.h>

#include <memory>

#include "platform/CHandle.h"

namespace qv {

std::vector<CookieParser::Cookie> SoupCookieParser::cookies(const HeaderFields& headers,
                                                            const std::string& url) {
  std::vector<Cookie> result;
  if (url.find('\0') != std::string::npos) return result;
  CHandle<GUri, g_uri_unref> origin(
      g_uri_parse(url.c_str(), static_cast<GUriFlags>(SOUP_HTTP_URI_FLAGS), nullptr));
  if (!origin || g_uri_get_host(origin.get()) == nullptr) return result;

  for (const auto& [name, value] : headers) {
    if (strcasecmp(name.c_str(), "Set-Cookie") != 0 || name.size() != 10) continue;
    // The C parser would stop at a NUL and read a different cookie than was sent.
    if (value.find('\0') != std::string::npos) continue;
    CHandle<SoupCookie, soup_cookie_free> cookie(soup_cookie_parse(value.c_str(), origin.get()));
    if (!cookie) continue;
    const char* cookieName = soup_cookie_get_name(cookie.get());
    const char* cookieValue = soup_cookie_get_value(cookie.get());
    result.push_back(Cookie{cookieName ? cookieName : "", cookieValue ? cookieValue : ""});
  }
  return result;
}

}  // namespace qv
