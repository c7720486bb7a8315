#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "platform/CookieParser.h"

namespace qv::testing {

// Answers every parse with the cookies the test scripted, whatever the headers say,
// and records what it was asked to parse. Thread-safe.
class ScriptedCookieParser final : public CookieParser {
 public:
  struct Call {
    HeaderFields headers;
    std::string url;
  };

  std::vector<Cookie> cookies(const HeaderFields& headers, const std::string& url) override;

  void setCookies(std::vector<Cookie> cookies);
  std::vector<Call> calls() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Cookie> cookies_;
  std::vector<Call> calls_;
};

}  // namespace qv::testing
