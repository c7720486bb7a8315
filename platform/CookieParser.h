#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/UrlSession.h"

namespace qv {

// Parses the Set-Cookie headers of a response the way a browser would for the URL that
// answered (domain and path rules included), without any cookie store. Thread-safe.
class CookieParser {
 public:
  struct Cookie {
    std::string name;
    std::string value;
  };

  virtual ~CookieParser() = default;
  // The accepted cookies, in header order.
  virtual std::vector<Cookie> cookies(const HeaderFields& headers, const std::string& url) = 0;
};

}  // namespace qv
