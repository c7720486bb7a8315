#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "service/ServiceUser.h"

namespace qv::service {

// The service's sign-in state: one-time codes bound to PKCE challenges, the users who
// signed in (one per name), the tokens issued to them and the anonymous users known by
// container id. Thread-safe.
class CodeStore {
 public:
  // A fresh code bound to `challenge` for the user called `name`; absent when no random
  // bytes could be had.
  std::optional<std::string> issueCode(const std::string& challenge, const std::string& name);

  // Consumes `code` whatever the outcome. When it was issued (and has not expired) and
  // S256(verifier) equals its challenge: the signed-in user with newly issued tokens.
  std::optional<ServiceUser> redeem(const std::string& code, const std::string& verifier);

  // The signed-in user those tokens were issued to.
  std::optional<ServiceUser> userForTokens(const std::string& auth, const std::string& csrf) const;

  // The anonymous user of `containerId`, or of a fresh container when none is given.
  std::optional<ServiceUser> anonymousUser(const std::optional<std::string>& containerId);

 private:
  using Clock = std::chrono::steady_clock;
  struct PendingCode {
    std::string challenge;
    std::string name;
    Clock::time_point expires;
  };
  struct Session {
    std::string csrf;
    std::string userName;
  };

  // Called with mutex_ held.
  std::optional<ServiceUser> userNamed(const std::string& name);

  mutable std::mutex mutex_;
  std::map<std::string, PendingCode> codes_;
  std::map<std::string, ServiceUser> usersByName_;
  std::map<std::string, Session> sessionsByAuth_;
  std::map<std::string, std::string> anonymousIdsByContainer_;
};

}  // namespace qv::service
