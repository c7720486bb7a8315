#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/CookieParser.h"
#include "platform/Json.h"
#include "platform/UrlSession.h"

namespace qv {

// The session tokens the service hands out.
struct Tokens {
  std::string auth;
  std::string csrf;

  Json toJson() const;
  // Both members are required strings.
  static std::optional<Tokens> fromJson(const Json& json);

  bool operator==(const Tokens&) const = default;
};

// A user record of the authentication host, signed-in or anonymous. The service calls
// the anonymity flag "anonymous".
struct User {
  std::string id;
  std::string email;
  std::vector<std::string> groups;
  std::string name;
  bool isAnonymous = false;
  bool isTest = false;
  std::optional<std::string> containerId;
  std::optional<Tokens> tokens;

  // Absent optional members are left out.
  Json toJson() const;
  // Strict: every required member with its JSON type; "containerId" and "tokens" may
  // be missing or null but, when present, must have their type.
  static std::optional<User> fromJson(const Json& json);

  bool operator==(const User&) const = default;
};

// Asks the authentication host for the current (or a fresh anonymous) user with one
// POST "/v3/user/oranonymous". The session's cookie store stays out of the exchange: the
// known session values travel as headers and a hand-built cookie header, and the values
// the server sets are read from the answer's Set-Cookie headers.
//
// Holds no mutable state: every method may be called from any thread.
class Auth {
 public:
  using Completion = std::function<void(std::optional<User>)>;
  using Cookies = std::map<std::string, std::string>;

  static constexpr const char* authCookieName = "qvauth";
  static constexpr const char* csrfCookieName = "csrf-token";
  static constexpr const char* containerIdCookieName = "vorn_containerId";

  // `authHost` is "host" or "host:port". `urlSession` is needed only by fetchUser;
  // `cookieParser` must be set (a request in flight keeps it alive).
  Auth(std::string clientType, std::string clientVersion, std::string authHost,
       std::shared_ptr<UrlSession> urlSession, std::shared_ptr<CookieParser> cookieParser);

  // Starts one request. `completion` runs exactly once, on the URL session's thread,
  // with the user or absent on any failure, except when no URL can be formed from the
  // host: then nothing is sent and `completion` is never called.
  void fetchUser(const std::optional<Tokens>& tokens, const std::optional<std::string>& containerId,
                 Completion completion) const;

  // The request for `url`: client headers, and the session values as headers and as
  // one "cookie" header. A token or container id holding CR, LF or NUL is left out, as
  // if absent, so that no stored value can split or end a header.
  UrlRequest makeRequest(const std::optional<Tokens>& tokens,
                         const std::optional<std::string>& containerId, const std::string& url,
                         const std::string& method) const;

  // Turns the outcome of the request to `url` into the user and calls `completion`
  // (synchronously, once). Status 200 or 204 and a decodable body are required; the
  // session cookies the answer sets win over the `tokens` and `containerId` sent, and
  // the body's own "tokens" and "containerId" are never used.
  void handleResponse(const UrlTaskResult& result, const std::string& url,
                      const std::optional<Tokens>& tokens,
                      const std::optional<std::string>& containerId,
                      const Completion& completion) const;

  // The values of the cookies named in `names` that the Set-Cookie headers set for
  // `url`; of two cookies with one name the later wins.
  Cookies readCookies(const std::vector<std::string>& names, const HeaderFields& headerFields,
                      const std::string& url) const;

  // Present only when both the auth and the CSRF cookie are.
  static std::optional<Tokens> tokensFromCookies(const Cookies& cookies);

  const std::string clientType;
  const std::string clientVersion;

 private:
  std::string authHost_;
  std::shared_ptr<UrlSession> urlSession_;
  std::shared_ptr<CookieParser> cookieParser_;
};

}  // namespace qv
