#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "platform/Url.h"
#include "platform/linux/store/SqliteUserDefaults.h"
#include "tests/support/ExtensionBundle.h"
#include "tests/support/ExtensionProcess.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TempDir.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using test::ReceivedCall;

constexpr const char* suiteName = "K4ZT7P2QN8.group.com.quorvane.safari.extension";

// Hands every code exchange to the content page "p1".
constexpr const char* backgroundScript = R"(
  const post = (handler, body) => window.webkit.messageHandlers[handler].postMessage(body);
  window.exposedApi = {
    appMessage(message) {},
    oauthExchange(args) {
      post("sendToContentPage", {name: "exchange", pageId: "p1", data: args});
    },
  };
  post("ready", {});
)";

// RFC 7636 S256, computed here with OpenSSL alone.
std::string s256(const std::string& verifier) {
  std::array<unsigned char, SHA256_DIGEST_LENGTH> digest{};
  SHA256(reinterpret_cast<const unsigned char*>(verifier.data()), verifier.size(), digest.data());
  std::array<unsigned char, 64> encoded{};
  int length = EVP_EncodeBlock(encoded.data(), digest.data(), static_cast<int>(digest.size()));
  std::string text(reinterpret_cast<const char*>(encoded.data()), static_cast<std::size_t>(length));
  std::replace(text.begin(), text.end(), '+', '-');
  std::replace(text.begin(), text.end(), '/', '_');
  std::erase(text, '=');
  return text;
}

std::optional<ReceivedCall> lastCall(const std::vector<ReceivedCall>& calls,
                                     const std::string& method) {
  auto it = std::find_if(calls.rbegin(), calls.rend(),
                         [&](const ReceivedCall& call) { return call.method == method; });
  if (it == calls.rend()) return std::nullopt;
  return *it;
}

bool hasCall(const std::vector<ReceivedCall>& calls, const std::string& method) {
  return lastCall(calls, method).has_value();
}

// safari-host's answers: one window; a new window gets one tab; tabs show nothing yet.
void scriptBrowser(test::ScriptedPeer& host) {
  host.answer("application.getActiveWindow", {{"window", "window-1"}});
  host.answer("window.openTab", {{"tab", "tab-5"}});
  host.answer("application.openWindow", {{"window", "window-2"}});
  host.answer("window.getAllTabs", {{"tabs", {"tab-6"}}});
  host.answer("tab.getPages", {{"pages", Json::array()}});
}

std::optional<std::string> challengeOf(const std::string& url) {
  auto parts = UrlComponents::parse(url);
  if (!parts || !parts->queryItems) return std::nullopt;
  for (const QueryItem& item : *parts->queryItems) {
    if (item.name == "code_challenge") return item.value;
  }
  return std::nullopt;
}

class SignInProcessTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string bundle = test::writeExtensionBundle(dir.path(), {backgroundScript},
                                                    std::string(QV_EXTENSION_EXECUTABLE));
    ASSERT_FALSE(bundle.empty());
    std::string error;
    process =
        test::ExtensionProcess::start(bundle + "/Contents/MacOS/Quorvane_Safari_Extension", &error);
    ASSERT_TRUE(process) << error;
    scriptBrowser(host);
    host.serve(std::move(process->hostEnd));
    store = SqliteUserDefaults::open(dir.path() + "/config/group-containers/" + suiteName +
                                     "/defaults.sqlite3");
    ASSERT_TRUE(store);
  }

  std::optional<std::string> stored(const std::string& key) {
    auto bytes = store->data(key);
    return bytes ? std::optional(toString(*bytes)) : std::nullopt;
  }

  test::TempDir dir;
  test::ScopedEnv configHome{"XDG_CONFIG_HOME", dir.path() + "/config"};
  test::ScopedEnv dataHome{"XDG_DATA_HOME", dir.path() + "/data"};
  test::ScopedEnv cacheHome{"XDG_CACHE_HOME", dir.path() + "/cache"};
  std::optional<test::ExtensionProcess> process;
  test::ScriptedPeer host;
  std::shared_ptr<SqliteUserDefaults> store;
};

TEST_F(SignInProcessTest, theCompanionsHandOffCompletesASigninThatAPageBegan) {
  host.notify("handler.messageReceived", Json{{"name", "beginOAuth"},
                                              {"page", "page-1"},
                                              {"userInfo", {{"meta", {{"srcPageId", "p1"}}}}}});
  ASSERT_TRUE(
      host.waitForCalls([](const auto& calls) { return hasCall(calls, "window.openTab"); }, 60s));
  ReceivedCall open = *lastCall(host.calls(), "window.openTab");
  EXPECT_EQ(open.args["window"], "window-1");
  EXPECT_EQ(open.args["makeActiveIfPossible"], true);
  std::string url = open.args.value("url", "");
  EXPECT_TRUE(url.starts_with(
      "https://www.quorvane.test/signin?client_id=extension-safari&code_challenge="))
      << url;
  EXPECT_TRUE(url.ends_with("&use_postmessage=true")) << url;
  std::optional<std::string> challenge = challengeOf(url);
  ASSERT_TRUE(challenge && challenge->size() == 43) << url;

  // The companion leaves the callback's code and challenge in the shared store.
  auto written = std::chrono::steady_clock::now();
  ASSERT_TRUE(store->set("message.oauthExchangeMessage",
                         toBytes(R"([{"code":"C","codeChallenge":")" + *challenge + R"("}])")));
  auto exchanged = [](const std::vector<ReceivedCall>& calls) {
    return std::any_of(calls.begin(), calls.end(), [](const ReceivedCall& call) {
      return call.method == "page.dispatchMessageToScript" && call.args["name"] == "exchange";
    });
  };
  ASSERT_TRUE(host.waitForCalls(exchanged, 30s));
  EXPECT_LT(std::chrono::steady_clock::now() - written, 4s);  // one poll tick, and the relay

  ReceivedCall exchange = *lastCall(host.calls(), "page.dispatchMessageToScript");
  EXPECT_EQ(exchange.args["page"], "page-1");
  const Json& args = exchange.args["userInfo"];
  EXPECT_EQ(args["code"], "C");
  std::string verifier = args.value("codeVerifier", "");
  EXPECT_EQ(verifier.size(), 128u);
  EXPECT_EQ(s256(verifier), *challenge);
  EXPECT_EQ(stored("message.oauthExchangeMessage"), "[null]");

  // The companion's request to open the sign-in page: a new window, and the flag cleared.
  ASSERT_TRUE(store->set("message.oauthOpenLoginTabMessage", toBytes("[true]")));
  ASSERT_TRUE(host.waitForCalls(
      [](const auto& calls) { return hasCall(calls, "application.openWindow"); }, 30s));
  std::string newWindowUrl = lastCall(host.calls(), "application.openWindow")->args["url"];
  EXPECT_TRUE(newWindowUrl.starts_with("https://www.quorvane.test/signin?")) << newWindowUrl;
  EXPECT_NE(challengeOf(newWindowUrl), challenge);
  EXPECT_EQ(stored("message.oauthOpenLoginTabMessage"), "[null]");

  host.close();
  EXPECT_TRUE(process->child.waitForExit(30s));
}

}  // namespace
}  // namespace qv
