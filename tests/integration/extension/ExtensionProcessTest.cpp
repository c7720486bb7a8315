#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/ExtensionBundle.h"
#include "tests/support/ExtensionProcess.h"
#include "tests/support/IpcText.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TempDir.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using test::ReceivedCall;

// Echoes every application message to the page it names, and tells the page in front
// that it is in front.
constexpr const char* echoBackgroundScript = R"(
  const post = (handler, body) => window.webkit.messageHandlers[handler].postMessage(body);
  window.exposedApi = {
    appMessage(message) {
      post("sendToContentPage", {name: "echo", pageId: message.replyTo,
                                 data: {message, initArgs: window.bgInitArgs,
                                        origin: location.origin}});
    },
    activeTabChanged(args) {
      post("sendToContentPage", {name: "activeTab", pageId: args.activeTabTopPage.id,
                                 data: args.activeTabTopPage});
    },
  };
  post("ready", {});
)";

testing::AssertionResult exitedCleanly(const std::optional<int>& status) {
  if (!status) return testing::AssertionFailure() << "still running";
  if (WIFSIGNALED(*status)) {
    return testing::AssertionFailure() << "killed by signal " << WTERMSIG(*status)
                                       << (WCOREDUMP(*status) ? " (core dumped)" : "");
  }
  if (WEXITSTATUS(*status) != 0) {
    return testing::AssertionFailure() << "exit status " << WEXITSTATUS(*status);
  }
  return testing::AssertionSuccess();
}

std::vector<ReceivedCall> callsNamed(const std::vector<ReceivedCall>& calls,
                                     const std::string& method) {
  std::vector<ReceivedCall> found;
  std::copy_if(calls.begin(), calls.end(), std::back_inserter(found),
               [&](const ReceivedCall& call) { return call.method == method; });
  return found;
}

std::size_t dispatchCount(const std::vector<ReceivedCall>& calls) {
  return callsNamed(calls, "page.dispatchMessageToScript").size();
}

// A private home for the child (defaults store, WebKit's data) and a bundle holding a
// copy of the built executable.
class ExtensionProcessTest : public testing::Test {
 protected:
  void SetUp() override {
    bundle = test::writeExtensionBundle(dir.path(), {echoBackgroundScript},
                                        std::string(QV_EXTENSION_EXECUTABLE));
    ASSERT_FALSE(bundle.empty());
    executable = bundle + "/Contents/MacOS/Quorvane_Safari_Extension";
  }

  std::optional<test::ExtensionProcess> spawn() {
    std::string error;
    auto process = test::ExtensionProcess::start(executable, &error);
    EXPECT_TRUE(process) << error;
    return process;
  }

  test::TempDir dir;
  test::ScopedEnv configHome{"XDG_CONFIG_HOME", dir.path() + "/config"};
  test::ScopedEnv dataHome{"XDG_DATA_HOME", dir.path() + "/data"};
  test::ScopedEnv cacheHome{"XDG_CACHE_HOME", dir.path() + "/cache"};
  std::string bundle;
  std::string executable;
};

// safari-host's answers: one window, one tab, one page.
void scriptOneWindowBrowser(test::ScriptedPeer& host) {
  using Peer = test::ScriptedPeer;
  host.answer("application.getActiveWindow", {{"window", "window-1"}});
  host.answer("window.getActiveTab", {{"tab", "tab-1"}}, Peer::argIs("window", "window-1"));
  host.answer("tab.getPages", {{"pages", {"page-12"}}}, Peer::argIs("tab", "tab-1"));
}

TEST_F(ExtensionProcessTest, RelaysBetweenContentPagesAndTheBackgroundPageOverTheProtocol) {
  auto process = spawn();
  ASSERT_TRUE(process);
  test::ScriptedPeer host;
  scriptOneWindowBrowser(host);
  host.serve(std::move(process->hostEnd));

  // Sent at once, so before the background page can be ready: they wait for it.
  host.notify("handler.messageReceived",
              Json{{"name", "passToBgPage"},
                   {"page", "page-12"},
                   {"userInfo", test::passToBgPageUserInfo("p1", R"({"replyTo":"p1","n":1})")}});
  host.notify("handler.messageReceived",
              Json{{"name", "passToBgPage"},
                   {"page", "page-13"},
                   {"userInfo", test::passToBgPageUserInfo("p2", R"({"replyTo":"p2","n":2})")}});
  ASSERT_TRUE(host.waitForCalls([](const auto& calls) { return dispatchCount(calls) >= 2; }, 60s));

  auto dispatched = callsNamed(host.calls(), "page.dispatchMessageToScript");
  ASSERT_EQ(dispatched.size(), 2u);
  EXPECT_EQ(dispatched[0].args["page"], "page-12");
  EXPECT_EQ(dispatched[0].args["name"], "echo");
  EXPECT_FALSE(dispatched[0].wantsReply);
  const Json& echo = dispatched[0].args["userInfo"];
  EXPECT_EQ(echo["message"]["n"], 1);
  EXPECT_TRUE(test::sameJson(echo["initArgs"], Json({{"companionContainerId", nullptr}})))
      << (echo["initArgs"]).dump();
  EXPECT_EQ(echo["origin"], "https://quorvane.test");
  EXPECT_EQ(dispatched[1].args["page"], "page-13");
  EXPECT_EQ(dispatched[1].args["userInfo"]["message"]["n"], 2);

  // Toolbar validation answers at once, then asks the page in front to report itself
  // through the browser objects.
  ipc::Reply validation = host.call("handler.validateToolbarItem", Json{{"window", "window-1"}});
  ASSERT_TRUE(validation.result) << test::errorText(validation);
  EXPECT_TRUE(test::sameJson(*validation.result, Json({{"enabled", true}, {"badgeText", ""}})))
      << (*validation.result).dump();
  ASSERT_TRUE(host.waitForCalls([](const auto& calls) { return dispatchCount(calls) >= 3; }));
  std::vector<ReceivedCall> calls = host.calls();
  auto lookups = callsNamed(calls, "tab.getPages");
  ASSERT_EQ(lookups.size(), 1u);
  EXPECT_TRUE(lookups[0].wantsReply);
  EXPECT_TRUE(test::sameJson(lookups[0].args, Json({{"tab", "tab-1"}})))
      << (lookups[0].args).dump();
  dispatched = callsNamed(calls, "page.dispatchMessageToScript");
  EXPECT_TRUE(test::sameJson(
      dispatched[2].args,
      Json({{"page", "page-12"}, {"name", "exposedApi.reportActive"}, {"userInfo", nullptr}})))
      << (dispatched[2].args).dump();

  // The page's answer reaches the (now ready) background page, which replies to it.
  Json activePage = {{"meta", {{"srcPageId", "p1"}}},
                     {"data", {{"url", "https://site.example/a"}}}};
  host.notify("handler.messageReceived",
              Json{{"name", "activePage"}, {"page", "page-12"}, {"userInfo", activePage}});
  ASSERT_TRUE(host.waitForCalls([](const auto& calls) { return dispatchCount(calls) >= 4; }));
  dispatched = callsNamed(host.calls(), "page.dispatchMessageToScript");
  EXPECT_EQ(dispatched[3].args["name"], "activeTab");
  EXPECT_TRUE(test::sameJson(dispatched[3].args["userInfo"],
                             Json({{"id", "p1"}, {"url", "https://site.example/a"}})))
      << (dispatched[3].args["userInfo"]).dump();

  // The other entry points answer; unknown ones are refused.
  ipc::Reply popover = host.call("handler.popoverWillShow", Json{{"window", "window-1"}});
  EXPECT_EQ(popover.result, Json::object());
  ipc::Reply fromApp = host.call("handler.messageReceivedFromContainingApp",
                                 Json{{"name", "openSafari"}, {"userInfo", nullptr}});
  EXPECT_EQ(fromApp.result, Json::object());
  ipc::Reply unknown = host.call("handler.noSuchThing", Json::object());
  EXPECT_FALSE(unknown.result);
  EXPECT_TRUE(unknown.error);
  ipc::Reply malformed =
      host.call("handler.messageReceived", Json{{"name", 7}, {"page", "page-12"}});
  EXPECT_TRUE(malformed.error);

  // safari-host going away ends the process cleanly.
  host.close();
  EXPECT_TRUE(exitedCleanly(process->child.waitForExit(30s)));
}

// Writes `bytes` to the extension after a first relay (so its web view is up), then
// expects it to hang up and exit without a crash.
void expectProtocolErrorEndsTheProcess(const std::string& executable, const std::string& bytes,
                                       bool thenHalfClose) {
  std::string error;
  auto process = test::ExtensionProcess::start(executable, &error);
  ASSERT_TRUE(process) << error;
  UniqueFd raw(dup(process->hostEnd.get()));
  ASSERT_TRUE(raw);
  test::ScriptedPeer host;
  host.serve(std::move(process->hostEnd));
  host.notify("handler.messageReceived",
              Json{{"name", "passToBgPage"},
                   {"page", "page-1"},
                   {"userInfo", test::passToBgPageUserInfo("p1", R"({"replyTo":"p1"})")}});
  ASSERT_TRUE(host.waitForCalls([](const auto& calls) { return dispatchCount(calls) >= 1; }, 60s));

  ASSERT_EQ(send(raw.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
  if (thenHalfClose) shutdown(raw.get(), SHUT_WR);
  EXPECT_TRUE(host.waitForClose()) << "the extension kept the connection open";
  EXPECT_TRUE(exitedCleanly(process->child.waitForExit(30s)));
}

std::string lengthPrefix(std::uint32_t length) {
  std::string prefix(4, '\0');
  for (int i = 0; i < 4; ++i) prefix[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  return prefix;
}

TEST_F(ExtensionProcessTest, MalformedFramesEndTheConnectionWithoutACrash) {
  struct Case {
    const char* name;
    std::string bytes;
    bool thenHalfClose;
  };
  std::string notJson = "{\"call\": nope";
  const std::vector<Case> cases = {
      {"length over 16 MiB", lengthPrefix(16 * 1024 * 1024 + 1), false},
      {"not JSON", lengthPrefix(static_cast<std::uint32_t>(notJson.size())) + notJson, false},
      {"JSON but not an object", lengthPrefix(2) + "[]", false},
      {"truncated", lengthPrefix(100) + "{\"call\":", true},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.name);
    expectProtocolErrorEndsTheProcess(executable, each.bytes, each.thenHalfClose);
  }
}

TEST_F(ExtensionProcessTest, ArgumentsOtherThanOneIpcFdAreAUsageError) {
  const std::vector<std::vector<std::string>> bad = {
      {},         {"--ipc-fd="},  {"--ipc-fd=x3"}, {"--ipc-fd=-1"}, {"--ipc-fd=3", "extra"},
      {"--fd=3"}, {"--ipc-fd=99"}};  // the last one is well-formed but not open
  for (const auto& arguments : bad) {
    std::string error;
    auto process = test::ExtensionProcess::start(executable, &error, arguments);
    ASSERT_TRUE(process) << error;
    std::optional<int> status = process->child.waitForExit(30s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 2)
        << "arguments: " << testing::PrintToString(arguments);
  }
}

}  // namespace
}  // namespace qv
