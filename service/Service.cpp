#include "service/Service.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <map>

#include "service/HttpServing.h"
#include "service/Pages.h"

namespace qv::service {
namespace {

using Json = nlohmann::json;

constexpr const char* htmlType = "text/html; charset=utf-8";
constexpr const char* jsonType = "application/json";
constexpr const char* containerCookie = "vorn_containerId";
constexpr const char* authCookie = "qvauth";
constexpr const char* csrfCookie = "csrf-token";

// The assistant's site configuration: hosts where it stays quiet.
constexpr const char* siteConfigurationJson = R"({"version":1,"blockedHosts":["blocked.example"]})";

std::string trim(const std::string& text) {
  auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// Every "Cookie" header's name=value pairs; a later pair wins.
std::map<std::string, std::string> requestCookies(const httplib::Request& request) {
  std::map<std::string, std::string> cookies;
  std::size_t count = request.get_header_value_count("Cookie");
  for (std::size_t i = 0; i < count; ++i) {
    std::string header = request.get_header_value("Cookie", i);
    std::size_t start = 0;
    while (start <= header.size()) {
      std::size_t end = header.find(';', start);
      if (end == std::string::npos) end = header.size();
      std::string pair = header.substr(start, end - start);
      std::size_t equals = pair.find('=');
      if (equals != std::string::npos)
        cookies[trim(pair.substr(0, equals))] = trim(pair.substr(equals + 1));
      start = end + 1;
    }
  }
  return cookies;
}

// Container ids end up in Set-Cookie and analytics; only plain tokens are kept.
bool plausibleContainerId(const std::string& id) {
  return !id.empty() && id.size() <= 128 && std::all_of(id.begin(), id.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '_' || c == '.';
  });
}

std::string percentEncode(const std::string& text) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += digits[c >> 4];
      encoded += digits[c & 0x0f];
    }
  }
  return encoded;
}

void addCookie(httplib::Response& response, const std::string& name, const std::string& value,
               bool httpOnly) {
  response.headers.emplace(
      "Set-Cookie", name + "=" + value + "; Path=/; Secure" + (httpOnly ? "; HttpOnly" : ""));
}

// The record as JSON, with the cookies that carry its session.
void answerUser(httplib::Response& response, const ServiceUser& user) {
  addCookie(response, containerCookie, user.containerId, true);
  if (user.tokens) {
    addCookie(response, authCookie, user.tokens->auth, true);
    // Readable by the page, which echoes it in X-CSRF-Token.
    addCookie(response, csrfCookie, user.tokens->csrf, false);
  }
  response.set_content(user.toJson().dump(), jsonType);
}

void answerError(httplib::Response& response, int status, const std::string& error) {
  response.status = status;
  response.set_content(Json{{"error", error}}.dump(), jsonType);
}

// Any origin may call: the background page runs on the bare domain, which in
// development is this origin and in other set-ups is not.
void allowOrigin(const httplib::Request& request, httplib::Response& response) {
  std::string origin = request.get_header_value("Origin");
  if (origin.empty()) return;
  response.set_header("Access-Control-Allow-Origin", origin);
  response.set_header("Access-Control-Allow-Credentials", "true");
  response.set_header("Vary", "Origin");
}

void preflight(const httplib::Request& request, httplib::Response& response) {
  response.status = 204;
  response.set_header("Allow", "GET, HEAD, POST, OPTIONS");
  response.set_header("Access-Control-Allow-Methods", "GET, HEAD, POST, OPTIONS");
  std::string asked = request.get_header_value("Access-Control-Request-Headers");
  response.set_header("Access-Control-Allow-Headers",
                      asked.empty() ? "Content-Type, X-CSRF-Token, X-Container-Id, X-Client-Type, "
                                      "X-Client-Version"
                                    : asked);
  response.set_header("Access-Control-Max-Age", "600");
}

}  // namespace

const Service::Route Service::routes[] = {
    {"GET", "/signin", &Service::signInPage},
    {"POST", "/signin/complete", &Service::completeSignIn},
    {"POST", "/oauth/token", &Service::exchangeToken},
    {"POST", "/v3/user/oranonymous", &Service::userOrAnonymous},
    {"GET", "/config/blacklist.json", &Service::siteConfiguration},
    {"GET", "/extension-success", &Service::successPage},
    {"POST", "/logv2", &Service::accept},
    {"POST", "/", &Service::accept},  // analytics batches
    {"GET", "/", &Service::indexPage},
};

Service::Service(RequestLog log) : log_(std::move(log)) {}

Service::~Service() = default;

bool Service::configure(const std::string& certPath, const std::string& keyPath,
                        std::string& error) {
  server_ = std::make_unique<httplib::SSLServer>(certPath.c_str(), keyPath.c_str());
  if (!server_->is_valid()) {
    error = "cannot load the certificate " + certPath + " or the key " + keyPath;
    server_.reset();
    return false;
  }
  // Browsers keep idle connections open; enough threads that they do not starve others.
  server_->new_task_queue = [] { return new httplib::ThreadPool(32); };
  server_->set_keep_alive_timeout(2);
  server_->set_payload_max_length(8 * 1024 * 1024);
  routeEveryRequest(*server_, [this](const httplib::Request& request, httplib::Response& response) {
    serve(request, response);
  });
  return true;
}

std::optional<int> Service::bind(const std::string& host, int port) {
  if (!server_) return std::nullopt;
  if (port == 0) {
    int bound = server_->bind_to_any_port(host);
    if (bound <= 0) return std::nullopt;
    return bound;
  }
  if (!server_->bind_to_port(host, port)) return std::nullopt;
  return port;
}

bool Service::run() {
  return server_ && server_->listen_after_bind();
}

void Service::stop() {
  if (server_) server_->stop();
}

void Service::record(const httplib::Request& request) {
  ReceivedRequest received = receivedRequest(request);
  LoggedRequest entry{received.method, received.path, received.query, {}, received.body};
  // One line per name: repeats are joined as HTTP would fold them.
  for (const auto& [name, value] : received.headers) {
    auto [slot, inserted] = entry.headers.emplace(name, value);
    if (!inserted) slot->second += (name == "cookie" ? "; " : ", ") + value;
  }
  log_.append(entry);
}

void Service::serve(const httplib::Request& request, httplib::Response& response) {
  record(request);
  allowOrigin(request, response);
  if (request.method == "OPTIONS") {
    preflight(request, response);
    return;
  }

  std::string method = request.method == "HEAD" ? "GET" : request.method;
  bool knownPath = false;
  for (const Route& route : routes) {
    if (request.path != route.path) continue;
    knownPath = true;
    if (method == route.method) return (this->*route.handle)(request, response);
  }
  response.status = knownPath ? 405 : 404;
  response.set_content(knownPath ? "method not allowed\n" : "not found\n", "text/plain");
}

void Service::signInPage(const httplib::Request& request, httplib::Response& response) {
  std::string challenge = request.get_param_value("code_challenge");
  if (challenge.empty()) {
    response.status = 400;
    response.set_content(pages::problem("Cannot sign in",
                                        "The sign-in link has no code challenge. "
                                        "Start signing in again from Safari."),
                         htmlType);
    return;
  }
  response.set_header("Cache-Control", "no-store");
  response.set_content(pages::signIn(request.get_param_value("client_id"), challenge,
                                     request.get_param_value("use_postmessage")),
                       htmlType);
}

void Service::completeSignIn(const httplib::Request& request, httplib::Response& response) {
  std::string challenge = request.get_param_value("code_challenge");
  std::string name = trim(request.get_param_value("name"));
  if (name.empty()) name = "Demo User";
  if (challenge.empty()) {
    response.status = 400;
    response.set_content(pages::problem("Cannot sign in", "The form carried no code challenge."),
                         htmlType);
    return;
  }
  auto code = store_.issueCode(challenge, name);
  if (!code) {
    response.status = 500;
    response.set_content(pages::problem("Cannot sign in", "No code could be issued."), htmlType);
    return;
  }
  response.status = 302;
  response.set_header("Cache-Control", "no-store");
  response.set_header("Location", "quorvane.extension://oauth?code=" + percentEncode(*code) +
                                      "&code_challenge=" + percentEncode(challenge));
}

void Service::exchangeToken(const httplib::Request& request, httplib::Response& response) {
  Json body = Json::parse(request.body, nullptr, false);
  if (!body.is_object() || !body.contains("code") || !body["code"].is_string() ||
      !body.contains("codeVerifier") || !body["codeVerifier"].is_string()) {
    // A malformed request still burns the code it names, as any use does.
    if (body.is_object() && body.contains("code") && body["code"].is_string()) {
      store_.redeem(body["code"].get<std::string>(), "");
    }
    return answerError(response, 400, "invalid_request");
  }
  auto user =
      store_.redeem(body["code"].get<std::string>(), body["codeVerifier"].get<std::string>());
  if (!user) return answerError(response, 400, "invalid_grant");
  response.set_header("Cache-Control", "no-store");
  answerUser(response, *user);
}

void Service::userOrAnonymous(const httplib::Request& request, httplib::Response& response) {
  auto cookies = requestCookies(request);
  auto auth = cookies.find(authCookie);
  auto csrf = cookies.find(csrfCookie);
  std::string csrfHeader = request.get_header_value("X-CSRF-Token");
  if (auth != cookies.end() && csrf != cookies.end() && !csrfHeader.empty() &&
      csrfHeader == csrf->second) {
    if (auto user = store_.userForTokens(auth->second, csrf->second)) {
      return answerUser(response, *user);
    }
  }

  std::optional<std::string> containerId;
  std::string header = request.get_header_value("X-Container-Id");
  if (plausibleContainerId(header)) {
    containerId = header;
  } else if (auto cookie = cookies.find(containerCookie);
             cookie != cookies.end() && plausibleContainerId(cookie->second)) {
    containerId = cookie->second;
  }
  auto user = store_.anonymousUser(containerId);
  if (!user) return answerError(response, 500, "no_random");
  answerUser(response, *user);
}

void Service::accept(const httplib::Request&, httplib::Response& response) {
  response.set_content("{}", jsonType);
}

void Service::successPage(const httplib::Request&, httplib::Response& response) {
  response.set_content(pages::signInSucceeded(), htmlType);
}

void Service::indexPage(const httplib::Request&, httplib::Response& response) {
  response.set_content(pages::index(), htmlType);
}

void Service::siteConfiguration(const httplib::Request&, httplib::Response& response) {
  response.set_header("Cache-Control", "no-store");
  response.set_content(siteConfigurationJson, jsonType);
}

}  // namespace qv::service
