#include "platform/testing/ScriptedCookieParser.h"

namespace qv::testing {

std::vector<CookieParser::Cookie> ScriptedCookieParser::cookies(const HeaderFields& headers,
                                                                const std::string& url) {
  std::lock_guard lock(mutex_);
  calls_.push_back(Call{headers, url});
  return cookies_;
}

void ScriptedCookieParser::setCookies(std::vector<Cookie> cookies) {
  std::lock_guard lock(mutex_);
  cookies_ = std::move(cookies);
}

std::vector<ScriptedCookieParser::Call> ScriptedCookieParser::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

}  // namespace qv::testing
