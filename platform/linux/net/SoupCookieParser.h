#pragma once

#include <string>
#include <vector>

#include "platform/CookieParser.h"

namespace qv {

// CookieParser over libsoup 3's Set-Cookie parser (soup_cookie_parse), which applies
// the domain and path rules for the URL that answered: a cookie whose Domain does not
// match that URL's host is rejected, and a missing Domain or Path defaults from the URL.
// Header names are matched without regard to case; each Set-Cookie header is one
// cookie. A header value holding NUL, or a URL that does not parse or has no host,
// yields no cookie. Stateless and thread-safe.
class SoupCookieParser final : public CookieParser {
 public:
  std::vector<Cookie> cookies(const HeaderFields& headers, const std::string& url) override;
};

}  // namespace qv
