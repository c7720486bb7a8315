// The service stand-in as a real process, driven over HTTPS: the sign-in page, the PKCE
// code exchange, user records and their cookies, the request record and CORS.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <thread>

#include "tests/support/ServiceProcess.h"

namespace qv::test {
namespace {

using Json = nlohmann::json;

// Computed with `openssl dgst -sha256 -binary | base64`, then made base64url.
constexpr const char* verifier = "quorvane-test-verifier-0123456789-abcdefghijklmnop";
constexpr const char* challenge = "nlyL3TbGjexNtW6xICX5mWLpCCdilsxP_-ID7VzlAUU";
constexpr const char* otherVerifier = "quorvane-test-verifier-0123456789-abcdefghijklmnoq";

// name -> value of every Set-Cookie, with the attributes that followed the value.
struct SetCookie {
  std::string value;
  std::string attributes;
};
std::map<std::string, SetCookie> setCookies(const httplib::Response& response) {
  std::map<std::string, SetCookie> cookies;
  for (std::size_t i = 0; i < response.get_header_value_count("Set-Cookie"); ++i) {
    std::string header = response.get_header_value("Set-Cookie", i);
    std::size_t equals = header.find('=');
    std::size_t semicolon = header.find(';');
    if (equals == std::string::npos) continue;
    std::string value = header.substr(
        equals + 1, semicolon == std::string::npos ? std::string::npos : semicolon - equals - 1);
    std::string attributes = semicolon == std::string::npos ? "" : header.substr(semicolon);
    cookies[header.substr(0, equals)] = {value, attributes};
  }
  return cookies;
}

// The query items of a URL, percent-decoded.
std::map<std::string, std::string> queryItems(const std::string& url) {
  std::map<std::string, std::string> items;
  std::size_t question = url.find('?');
  if (question == std::string::npos) return items;
  httplib::Params params;
  httplib::detail::parse_query_text(url.substr(question + 1), params);
  for (const auto& [name, value] : params) items[name] = value;
  return items;
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.ok());
    client = service.client();
  }

  // Submits the sign-in form; the Location the service redirects to.
  std::string completeSignIn(const std::string& forChallenge, const std::string& name) {
    auto response =
        client->Post("/signin/complete", httplib::Params{{"client_id", "extension-safari"},
                                                         {"code_challenge", forChallenge},
                                                         {"use_postmessage", "true"},
                                                         {"name", name}});
    if (!response) return "";
    EXPECT_EQ(response->status, 302);
    return response->get_header_value("Location");
  }

  httplib::Result exchange(const std::string& code, const std::string& codeVerifier) {
    return client->Post("/oauth/token", Json{{"code", code}, {"codeVerifier", codeVerifier}}.dump(),
                        "application/json");
  }

  ServiceProcess service;
  std::unique_ptr<httplib::SSLClient> client;
};

TEST_F(ServiceTest, SignInPageOffersAFormBoundToTheChallenge) {
  auto page =
      client->Get("/signin?client_id=extension-safari&code_challenge=" + std::string(challenge) +
                  "&use_postmessage=true");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->get_header_value("Content-Type").find("text/html"), std::string::npos);
  EXPECT_NE(page->body.find("<button"), std::string::npos);
  EXPECT_NE(page->body.find(">Sign in</button>"), std::string::npos);
  EXPECT_NE(page->body.find("action=\"/signin/complete\""), std::string::npos);
  EXPECT_NE(page->body.find("value=\"" + std::string(challenge) + "\""), std::string::npos);

  // Whatever arrives as the challenge cannot break out of the page's markup.
  auto hostile = client->Get("/signin?code_challenge=%22%3E%3Cscript%3Ex()%3C%2Fscript%3E");
  ASSERT_TRUE(hostile);
  EXPECT_EQ(hostile->status, 200);
  EXPECT_EQ(hostile->body.find("<script>x()"), std::string::npos);
  EXPECT_NE(hostile->body.find("&quot;&gt;&lt;script&gt;"), std::string::npos);

  for (const char* target : {"/signin", "/signin?client_id=extension-safari&code_challenge="}) {
    auto missing = client->Get(target);
    ASSERT_TRUE(missing) << target;
    EXPECT_EQ(missing->status, 400) << target;
    EXPECT_NE(missing->get_header_value("Content-Type").find("text/html"), std::string::npos);
  }
  auto noChallenge = client->Post("/signin/complete", httplib::Params{{"name", "Ada"}});
  ASSERT_TRUE(noChallenge);
  EXPECT_EQ(noChallenge->status, 400);
}

TEST_F(ServiceTest, PkceRoundTripIssuesOneTimeCodesAndSignedInUsers) {
  std::string location = completeSignIn(challenge, "Ada Lovelace");
  ASSERT_EQ(location.rfind("quorvane.extension://oauth?", 0), 0u) << location;
  auto items = queryItems(location);
  ASSERT_EQ(items.size(), 2u) << location;
  EXPECT_EQ(items["code_challenge"], challenge);
  std::string code = items["code"];
  // 128 random bits as unpadded base64url.
  EXPECT_EQ(code.size(), 22u);
  EXPECT_TRUE(std::all_of(code.begin(), code.end(),
                          [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '_'; }));
  EXPECT_NE(code, queryItems(completeSignIn(challenge, "Ada Lovelace"))["code"]);

  auto token = exchange(code, verifier);
  ASSERT_TRUE(token);
  ASSERT_EQ(token->status, 200) << token->body;
  Json user = Json::parse(token->body, nullptr, false);
  ASSERT_TRUE(user.is_object()) << token->body;
  EXPECT_EQ(user.value("anonymous", true), false);
  EXPECT_EQ(user.value("isTest", true), false);
  EXPECT_EQ(user.value("name", ""), "Ada Lovelace");
  ASSERT_TRUE(user["id"].is_string());
  ASSERT_TRUE(user["email"].is_string());
  EXPECT_NE(user["email"].get<std::string>().find('@'), std::string::npos);
  EXPECT_TRUE(user["groups"].is_array());
  ASSERT_TRUE(user["containerId"].is_string());
  ASSERT_TRUE(user["tokens"]["auth"].is_string());
  ASSERT_TRUE(user["tokens"]["csrf"].is_string());
  std::string auth = user["tokens"]["auth"];
  std::string csrf = user["tokens"]["csrf"];
  EXPECT_NE(auth, csrf);

  auto cookies = setCookies(*token);
  EXPECT_EQ(cookies["qvauth"].value, auth);
  EXPECT_EQ(cookies["csrf-token"].value, csrf);
  EXPECT_EQ(cookies["vorn_containerId"].value, user["containerId"]);
  EXPECT_NE(cookies["qvauth"].attributes.find("HttpOnly"), std::string::npos);
  EXPECT_NE(cookies["qvauth"].attributes.find("Secure"), std::string::npos);

  // Refused, in this order: the code again (a code works once), a fresh code with a
  // wrong verifier, that code with the right one (the wrong try used it up), and a code
  // never issued. A refusal starts no session.
  std::string second = queryItems(completeSignIn(challenge, "Ada Lovelace"))["code"];
  const std::pair<std::string, const char*> refused[] = {
      {code, verifier}, {second, otherVerifier}, {second, verifier}, {"never-issued", verifier}};
  for (const auto& [refusedCode, refusedVerifier] : refused) {
    auto answer = exchange(refusedCode, refusedVerifier);
    ASSERT_TRUE(answer) << refusedCode << " " << refusedVerifier;
    EXPECT_EQ(answer->status, 400) << refusedCode << " " << refusedVerifier;
    EXPECT_EQ(answer->get_header_value_count("Set-Cookie"), 0u) << refusedCode;
  }
  auto malformed = client->Post("/oauth/token", "{\"code\":", "application/json");
  ASSERT_TRUE(malformed);
  EXPECT_EQ(malformed->status, 400);

  // Signing in again under the same name is the same person with new tokens.
  std::string third = queryItems(completeSignIn(challenge, "Ada Lovelace"))["code"];
  auto again = exchange(third, verifier);
  ASSERT_TRUE(again);
  ASSERT_EQ(again->status, 200);
  Json sameUser = Json::parse(again->body, nullptr, false);
  EXPECT_EQ(sameUser["id"], user["id"]);
  EXPECT_NE(sameUser["tokens"]["auth"], user["tokens"]["auth"]);

  // The issued tokens make /v3/user/oranonymous answer with the signed-in user...
  httplib::Headers withTokens = {{"Cookie", "qvauth=" + auth + "; csrf-token=" + csrf},
                                 {"X-CSRF-Token", csrf}};
  auto signedIn = client->Post("/v3/user/oranonymous", withTokens, "", "application/json");
  ASSERT_TRUE(signedIn);
  ASSERT_EQ(signedIn->status, 200);
  Json record = Json::parse(signedIn->body, nullptr, false);
  EXPECT_EQ(record["id"], user["id"]);
  EXPECT_EQ(record.value("anonymous", true), false);
  auto renewed = setCookies(*signedIn);
  EXPECT_EQ(renewed["qvauth"].value, auth);
  EXPECT_EQ(renewed["csrf-token"].value, csrf);
  EXPECT_EQ(renewed["vorn_containerId"].value, user["containerId"]);

  // ...but not without the matching X-CSRF-Token header.
  httplib::Headers forged = {{"Cookie", "qvauth=" + auth + "; csrf-token=" + csrf},
                             {"X-CSRF-Token", "not-" + csrf}};
  auto anonymous = client->Post("/v3/user/oranonymous", forged, "", "application/json");
  ASSERT_TRUE(anonymous);
  EXPECT_EQ(Json::parse(anonymous->body, nullptr, false).value("anonymous", false), true);
  EXPECT_EQ(setCookies(*anonymous).count("qvauth"), 0u);
}

TEST_F(ServiceTest, AnonymousUserGetsAContainerOrKeepsTheOneItBrought) {
  auto post = [this](const httplib::Headers& headers) {
    auto response = client->Post("/v3/user/oranonymous", headers, "", "application/json");
    EXPECT_TRUE(response);
    if (!response) return std::pair(Json(), std::map<std::string, SetCookie>());
    EXPECT_EQ(response->status, 200);
    return std::pair(Json::parse(response->body, nullptr, false), setCookies(*response));
  };

  auto [fresh, freshCookies] = post({});
  EXPECT_EQ(fresh.value("anonymous", false), true);
  EXPECT_EQ(fresh.value("id", "").rfind("anon-", 0), 0u) << fresh.dump();
  for (const char* key : {"email", "name"}) EXPECT_TRUE(fresh[key].is_string()) << key;
  EXPECT_TRUE(fresh["groups"].is_array());
  EXPECT_FALSE(fresh.contains("tokens") && !fresh["tokens"].is_null());
  std::string container = fresh.value("containerId", "");
  EXPECT_FALSE(container.empty());
  EXPECT_EQ(freshCookies["vorn_containerId"].value, container);
  EXPECT_NE(freshCookies["vorn_containerId"].attributes.find("Secure"), std::string::npos);
  EXPECT_NE(freshCookies["vorn_containerId"].attributes.find("HttpOnly"), std::string::npos);
  EXPECT_NE(freshCookies["vorn_containerId"].attributes.find("Path=/"), std::string::npos);

  EXPECT_NE(post({}).first.value("containerId", ""), container);

  auto [byHeader, headerCookies] = post({{"X-Container-Id", "ctr-from-header"}});
  EXPECT_EQ(byHeader.value("containerId", ""), "ctr-from-header");
  EXPECT_EQ(headerCookies["vorn_containerId"].value, "ctr-from-header");

  auto [byCookie, cookieCookies] = post({{"Cookie", "other=1; vorn_containerId=ctr-from-cookie"}});
  EXPECT_EQ(byCookie.value("containerId", ""), "ctr-from-cookie");
  EXPECT_EQ(cookieCookies["vorn_containerId"].value, "ctr-from-cookie");

  // The same container is the same anonymous user.
  EXPECT_EQ(post({{"X-Container-Id", "ctr-from-header"}}).first["id"], byHeader["id"]);
  EXPECT_NE(byCookie["id"], byHeader["id"]);
}

TEST_F(ServiceTest, ServesTheOtherRoles) {
  auto analytics = client->Post("/", R"({"client":"x","events":[]})", "application/json");
  ASSERT_TRUE(analytics);
  EXPECT_EQ(analytics->status, 200);
  auto log = client->Post("/logv2", R"({"level":"ERROR"})", "application/json");
  ASSERT_TRUE(log);
  EXPECT_EQ(log->status, 200);

  auto success = client->Get("/extension-success?utm_medium=store&utm_source=safari");
  ASSERT_TRUE(success);
  EXPECT_EQ(success->status, 200);
  EXPECT_NE(success->body.find("signed in"), std::string::npos);

  auto config = client->Get("/config/blacklist.json");
  ASSERT_TRUE(config);
  EXPECT_EQ(config->status, 200);
  EXPECT_NE(config->get_header_value("Content-Type").find("application/json"), std::string::npos);
  Json sites = Json::parse(config->body, nullptr, false);
  ASSERT_TRUE(sites.is_object()) << config->body;
  EXPECT_TRUE(sites["blockedHosts"].is_array());

  auto missing = client->Get("/no/such/page");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  auto wrongMethod = client->Get("/oauth/token");
  ASSERT_TRUE(wrongMethod);
  EXPECT_EQ(wrongMethod->status, 405);
}

TEST_F(ServiceTest, RecordsEveryRequestAsOneJsonLine) {
  ASSERT_TRUE(client->Get("/signin?client_id=a%20b&code_challenge=c",
                          {{"X-Mixed-Case-Header", "Value Kept"}}));
  ASSERT_TRUE(
      client->Post("/logv2", {{"Cookie", "a=1"}}, R"({"message":"m"})", "application/json"));
  ASSERT_TRUE(client->Get("/unknown"));

  auto records = service.records();
  ASSERT_EQ(records.size(), 3u);
  for (const Json& record : records) {
    ASSERT_TRUE(record.is_object()) << "a line is not JSON";
    for (const char* key : {"method", "path", "query", "body"}) {
      EXPECT_TRUE(record[key].is_string()) << key << " in " << record.dump();
    }
    ASSERT_TRUE(record["headers"].is_object());
    for (const auto& [name, value] : record["headers"].items()) {
      std::string lower = name;
      std::transform(lower.begin(), lower.end(), lower.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      EXPECT_EQ(name, lower);
      EXPECT_TRUE(value.is_string()) << name;
    }
    // Connection details are the library's, not headers a client sent.
    EXPECT_FALSE(record["headers"].contains("remote_addr"));
    EXPECT_TRUE(record["headers"].contains("host"));
  }
  EXPECT_EQ(records[0]["method"], "GET");
  EXPECT_EQ(records[0]["path"], "/signin");
  EXPECT_EQ(records[0]["query"], "client_id=a%20b&code_challenge=c");
  EXPECT_EQ(records[0]["headers"]["x-mixed-case-header"], "Value Kept");
  EXPECT_EQ(records[0]["body"], "");
  EXPECT_EQ(records[1]["method"], "POST");
  EXPECT_EQ(records[1]["path"], "/logv2");
  EXPECT_EQ(records[1]["query"], "");
  EXPECT_EQ(records[1]["body"], R"({"message":"m"})");
  EXPECT_EQ(records[1]["headers"]["cookie"], "a=1");
  EXPECT_EQ(records[1]["headers"]["content-type"], "application/json");
  EXPECT_EQ(records[2]["path"], "/unknown");
}

TEST_F(ServiceTest, ConcurrentRequestsEachGetTheirOwnLine) {
  constexpr int clients = 8;
  constexpr int perClient = 5;
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([this, i] {
      auto own = service.client();
      for (int j = 0; j < perClient; ++j) {
        std::string body(2000, static_cast<char>('a' + i));
        body += std::to_string(j);
        auto response = own->Post("/", body, "application/json");
        EXPECT_TRUE(response && response->status == 200);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  auto records = service.records();
  ASSERT_EQ(records.size(), static_cast<std::size_t>(clients * perClient));
  std::set<std::string> bodies;
  for (const Json& record : records) {
    ASSERT_TRUE(record.is_object()) << "interleaved lines";
    bodies.insert(record.value("body", ""));
  }
  EXPECT_EQ(bodies.size(), records.size());
}

TEST_F(ServiceTest, AnswersCorsPreflightsAndNamesTheCallersOrigin) {
  const std::string origin = "https://quorvane.example";
  auto preflight =
      client->Options("/oauth/token", {{"Origin", origin},
                                       {"Access-Control-Request-Method", "POST"},
                                       {"Access-Control-Request-Headers", "content-type"}});
  ASSERT_TRUE(preflight);
  EXPECT_GE(preflight->status, 200);
  EXPECT_LT(preflight->status, 300);
  EXPECT_EQ(preflight->get_header_value("Access-Control-Allow-Origin"), origin);
  EXPECT_NE(preflight->get_header_value("Access-Control-Allow-Methods").find("POST"),
            std::string::npos);
  EXPECT_NE(preflight->get_header_value("Access-Control-Allow-Headers").find("content-type"),
            std::string::npos);

  auto config = client->Get("/config/blacklist.json", {{"Origin", "https://elsewhere.example"}});
  ASSERT_TRUE(config);
  EXPECT_EQ(config->get_header_value("Access-Control-Allow-Origin"), "https://elsewhere.example");

  auto token = client->Post("/oauth/token", {{"Origin", origin}}, "{}", "application/json");
  ASSERT_TRUE(token);
  EXPECT_EQ(token->status, 400);
  EXPECT_EQ(token->get_header_value("Access-Control-Allow-Origin"), origin);

  auto sameOrigin = client->Get("/config/blacklist.json");
  ASSERT_TRUE(sameOrigin);
  EXPECT_FALSE(sameOrigin->has_header("Access-Control-Allow-Origin"));
}

TEST_F(ServiceTest, StopsCleanlyOnSigterm) {
  ASSERT_TRUE(client->Get("/"));
  CommandResult result = service.terminate();
  EXPECT_EQ(result.exitCode, 0) << result.err;
}

TEST(ServiceArguments, BadArgumentsPrintUsageAndExitWithTwo) {
  TempDir directory;
  std::string record = directory.path() + "/r.jsonl";
  const std::vector<std::vector<std::string>> invalid = {
      {},
      {"--listen", "127.0.0.1:0"},
      {"--listen", "127.0.0.1", "--cert", "c", "--key", "k", "--record", record},
      {"--listen", "127.0.0.1:99999", "--cert", "c", "--key", "k", "--record", record},
      {"--listen", "127.0.0.1:0", "--cert", "c", "--key", "k", "--record", record, "--extra", "x"},
      {"--listen", "127.0.0.1:0", "--cert", "c", "--cert", "k", "--record", record},
  };
  for (const auto& arguments : invalid) {
    std::vector<std::string> argv = {QV_SERVICE_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    CommandResult result = runCommand(argv, {});
    EXPECT_EQ(result.exitCode, 2) << testing::PrintToString(arguments);
    EXPECT_NE(result.err.find("usage: quorvane-service"), std::string::npos);
    EXPECT_EQ(result.out, "");
  }

  // Well-formed arguments naming a certificate that is not there: a plain failure.
  CommandResult missing = runCommand(
      {QV_SERVICE_PATH, "--listen", "127.0.0.1:0", "--cert", directory.path() + "/none.pem",
       "--key", directory.path() + "/none-key.pem", "--record", record},
      {});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("certificate"), std::string::npos);
}

}  // namespace
}  // namespace qv::test
