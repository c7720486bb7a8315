#include "companion/telemetry/Auth.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "platform/JsonFields.h"
#include "platform/Url.h"

namespace qv {
namespace {

constexpr const char* userPath = "/v3/user/oranonymous";

bool isHeaderSafe(std::string_view value) {
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// What may go into a header: a value that could split or end a header line counts as
// absent for this request.
std::optional<Tokens> headerSafe(const std::optional<Tokens>& tokens) {
  if (!tokens || !isHeaderSafe(tokens->auth) || !isHeaderSafe(tokens->csrf)) return std::nullopt;
  return tokens;
}

std::optional<std::string> headerSafe(const std::optional<std::string>& value) {
  if (!value || !isHeaderSafe(*value)) return std::nullopt;
  return value;
}

Auth::Cookies readCookiesWith(CookieParser& parser, const std::vector<std::string>& names,
                              const HeaderFields& headerFields, const std::string& url) {
  Auth::Cookies result;
  for (CookieParser::Cookie& cookie : parser.cookies(headerFields, url)) {
    if (std::find(names.begin(), names.end(), cookie.name) == names.end()) continue;
    result[cookie.name] = std::move(cookie.value);
  }
  return result;
}

std::optional<User> userFromResponse(CookieParser& parser, const UrlTaskResult& result,
                                     const std::string& url, const std::optional<Tokens>& tokens,
                                     const std::optional<std::string>& containerId) {
  if (result.error || !result.response) return std::nullopt;
  long status = result.response->statusCode;
  if (status != 200 && status != 204) return std::nullopt;
  if (!result.data) return std::nullopt;
  std::optional<Json> body = json::parse(toString(*result.data));
  if (!body) return std::nullopt;
  std::optional<User> user = User::fromJson(*body);
  if (!user) return std::nullopt;

  Auth::Cookies cookies = readCookiesWith(
      parser, {Auth::authCookieName, Auth::csrfCookieName, Auth::containerIdCookieName},
      result.response->headers, url);
  std::optional<Tokens> cookieTokens = Auth::tokensFromCookies(cookies);
  user->tokens = cookieTokens ? cookieTokens : tokens;
  auto cookieContainerId = cookies.find(Auth::containerIdCookieName);
  user->containerId =
      cookieContainerId != cookies.end() ? std::optional(cookieContainerId->second) : containerId;
  return user;
}

}  // namespace

Json Tokens::toJson() const {
  return Json{{"auth", auth}, {"csrf", csrf}};
}

std::optional<Tokens> Tokens::fromJson(const Json& json) {
  auto auth = json::string(json, "auth");
  auto csrf = json::string(json, "csrf");
  if (!auth || !csrf) return std::nullopt;
  return Tokens{*auth, *csrf};
}

Json User::toJson() const {
  Json json{{"id", id},     {"email", email},           {"groups", groups},
            {"name", name}, {"anonymous", isAnonymous}, {"isTest", isTest}};
  if (containerId) json["containerId"] = *containerId;
  if (tokens) json["tokens"] = tokens->toJson();
  return json;
}

std::optional<User> User::fromJson(const Json& json) {
  auto id = json::string(json, "id");
  auto email = json::string(json, "email");
  auto name = json::string(json, "name");
  auto isAnonymous = json::boolean(json, "anonymous");
  auto isTest = json::boolean(json, "isTest");
  auto containerId = json::optionalString(json, "containerId");
  if (!id || !email || !name || !isAnonymous || !isTest || !containerId) return std::nullopt;

  auto groupsMember = json.find("groups");
  if (groupsMember == json.end() || !groupsMember->is_array()) return std::nullopt;
  std::vector<std::string> groups;
  for (const Json& group : *groupsMember) {
    if (!group.is_string()) return std::nullopt;
    groups.push_back(group.get<std::string>());
  }

  std::optional<Tokens> tokens;
  auto tokensMember = json.find("tokens");
  if (tokensMember != json.end() && !tokensMember->is_null()) {
    tokens = Tokens::fromJson(*tokensMember);
    if (!tokens) return std::nullopt;
  }
  return User{*id,          *email,  std::move(groups), *name,
              *isAnonymous, *isTest, *containerId,      std::move(tokens)};
}

Auth::Auth(std::string clientType, std::string clientVersion, std::string authHost,
           std::shared_ptr<UrlSession> urlSession, std::shared_ptr<CookieParser> cookieParser)
    : clientType(std::move(clientType)),
      clientVersion(std::move(clientVersion)),
      authHost_(std::move(authHost)),
      urlSession_(std::move(urlSession)),
      cookieParser_(std::move(cookieParser)) {}

void Auth::fetchUser(const std::optional<Tokens>& tokens,
                     const std::optional<std::string>& containerId, Completion completion) const {
  std::optional<UrlComponents> parts = UrlComponents::https(authHost_, userPath);
  std::optional<std::string> url = parts ? parts->string() : std::nullopt;
  if (!url) return;

  // What was left out of the request cannot count as "sent" when the answer is read.
  std::optional<Tokens> sentTokens = headerSafe(tokens);
  std::optional<std::string> sentContainerId = headerSafe(containerId);
  UrlRequest request = makeRequest(sentTokens, sentContainerId, *url, "POST");
  // The completion may outlive this object, so it keeps its own parser reference.
  urlSession_->dataTask(std::move(request),
                        [parser = cookieParser_, url = *url, sentTokens, sentContainerId,
                         completion = std::move(completion)](UrlTaskResult result) {
                          std::optional<User> user =
                              userFromResponse(*parser, result, url, sentTokens, sentContainerId);
                          if (completion) completion(std::move(user));
                        });
}

UrlRequest Auth::makeRequest(const std::optional<Tokens>& tokens,
                             const std::optional<std::string>& containerId, const std::string& url,
                             const std::string& method) const {
  UrlRequest request;
  request.url = url;
  request.timeout = std::chrono::seconds(60);
  request.httpShouldHandleCookies = false;
  request.cachePolicy = UrlRequest::CachePolicy::reloadIgnoringLocalAndRemoteCacheData;
  request.method = method;
  request.headers.emplace_back("X-Client-Type", clientType);
  request.headers.emplace_back("X-Client-Version", clientVersion);

  std::vector<std::pair<std::string, std::string>> cookies;
  if (std::optional<Tokens> safeTokens = headerSafe(tokens)) {
    request.headers.emplace_back("X-CSRF-Token", safeTokens->csrf);
    cookies.emplace_back(authCookieName, safeTokens->auth);
    cookies.emplace_back(csrfCookieName, safeTokens->csrf);
  }
  if (std::optional<std::string> safeContainerId = headerSafe(containerId)) {
    request.headers.emplace_back("X-Container-Id", *safeContainerId);
    cookies.emplace_back(containerIdCookieName, *safeContainerId);
  }
  if (!cookies.empty()) {
    std::string header;
    for (const auto& [name, value] : cookies) {
      if (!header.empty()) header += "; ";
      header += name + "=" + value;
    }
    request.headers.emplace_back("cookie", std::move(header));
  }
  return request;
}

void Auth::handleResponse(const UrlTaskResult& result, const std::string& url,
                          const std::optional<Tokens>& tokens,
                          const std::optional<std::string>& containerId,
                          const Completion& completion) const {
  std::optional<User> user = userFromResponse(*cookieParser_, result, url, tokens, containerId);
  if (completion) completion(std::move(user));
}

Auth::Cookies Auth::readCookies(const std::vector<std::string>& names,
                                const HeaderFields& headerFields, const std::string& url) const {
  return readCookiesWith(*cookieParser_, names, headerFields, url);
}

std::optional<Tokens> Auth::tokensFromCookies(const Cookies& cookies) {
  auto auth = cookies.find(authCookieName);
  auto csrf = cookies.find(csrfCookieName);
  if (auth == cookies.end() || csrf == cookies.end()) return std::nullopt;
  return Tokens{auth->second, csrf->second};
}

}  // namespace qv
