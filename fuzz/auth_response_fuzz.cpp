// Any answer of the authentication host (status, headers, body) must end in exactly one
// completion, never crash, and give a user only for status 200 or 204 whose record
// survives encoding and decoding. Whatever text the session values hold, no request
// header may carry CR, LF or NUL.
//
// Input: a first line "STATUS" or "STATUS s" (s: the request had sent session values),
// or "error" / "none" for a transport error / no response; then "Name: value" header
// lines up to an empty line; the rest is the body (absent when no empty line follows).
#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "companion/telemetry/Auth.h"
#include "platform/linux/net/SoupCookieParser.h"

namespace {

constexpr const char* userUrl = "https://auth.test.example/v3/user/oranonymous";

bool nextLine(std::string_view& rest, std::string_view& line) {
  std::size_t end = rest.find('\n');
  if (end == std::string_view::npos) return false;
  line = rest.substr(0, end);
  rest.remove_prefix(end + 1);
  return true;
}

bool isSetCookie(const std::string& name) {
  return name.size() == 10 && strncasecmp(name.data(), "Set-Cookie", 10) == 0;
}

void checkHeadersAreSafe(const qv::UrlRequest& request) {
  for (const auto& [name, value] : request.headers) {
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  std::string_view statusLine;
  if (!nextLine(rest, statusLine)) statusLine = std::exchange(rest, std::string_view());

  qv::UrlTaskResult result;
  bool sentSession = statusLine.ends_with(" s");
  if (statusLine == "error") {
    result.error = "fuzzed transport error";
  } else if (statusLine != "none") {
    qv::HttpResponse response;
    response.url = userUrl;
    for (char c : statusLine.substr(0, 4)) {
      if (c < '0' || c > '9') break;
      response.statusCode = response.statusCode * 10 + (c - '0');
    }
    std::string_view line;
    bool bodyFollows = false;
    while (nextLine(rest, line)) {
      if (line.empty()) {
        bodyFollows = true;
        break;
      }
      std::size_t colon = line.find(':');
      std::string_view name = line.substr(0, colon);
      std::string_view value = colon == std::string_view::npos ? "" : line.substr(colon + 1);
      if (value.starts_with(' ')) value.remove_prefix(1);
      response.headers.emplace_back(std::string(name), std::string(value));
    }
    if (bodyFollows) result.data = qv::Bytes(rest.begin(), rest.end());
    result.response = std::move(response);
  }

  std::optional<qv::Tokens> tokens;
  std::optional<std::string> containerId;
  if (sentSession) {
    tokens = qv::Tokens{"sent-auth", "sent-csrf"};
    containerId = "sent-cid";
  }
  qv::Auth auth("client", "1.0", "auth.test.example", nullptr,
                std::make_shared<qv::SoupCookieParser>());
  int calls = 0;
  auth.handleResponse(result, userUrl, tokens, containerId, [&](std::optional<qv::User> user) {
    ++calls;
    if (!user) return;
    long status = result.response ? result.response->statusCode : 0;
    if (result.error || (status != 200 && status != 204)) std::abort();
    if (qv::User::fromJson(user->toJson()) != user) std::abort();
    bool anyCookie = false;
    for (const auto& [name, value] : result.response->headers) {
      anyCookie = anyCookie || isSetCookie(name);
    }
    if (!anyCookie && (user->tokens != tokens || user->containerId != containerId)) std::abort();
  });
  if (calls != 1) std::abort();

  // The session values of a later request may be anything the server handed out.
  std::string text(reinterpret_cast<const char*>(data), size);
  checkHeadersAreSafe(auth.makeRequest(qv::Tokens{text, text}, text, userUrl, "POST"));
  checkHeadersAreSafe(auth.makeRequest(qv::Tokens{"a", text}, std::nullopt, userUrl, "POST"));
  return 0;
}
