// Faults inside and around the extension process, driven by a scripted browser: its own
// web views when their web process dies (kill -9) or their page tries to go elsewhere
// (the page is loaded again and what was sent meanwhile arrives once; a navigation away
// is refused), and a browser that never answers one of its calls.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <string>
#include <vector>

#include "tests/faults/FaultReport.h"
#include "tests/support/ExtensionBundle.h"
#include "tests/support/ExtensionProcess.h"
#include "tests/support/IpcText.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Echoes application messages to the browser, passes {"toPopup"} ones on to the popup,
// and follows {"navigate"} ones, which the view must refuse.
constexpr const char* kBackgroundScript = R"(
  const post = (handler, body) => window.webkit.messageHandlers[handler].postMessage(body);
  window.exposedApi = {
    appMessage(message) {
      if (message.navigate) { location.href = message.navigate; return; }
      if (message.toPopup) {
        post("sendToSettingsPopup", {name: "note", data: {json: JSON.stringify(message)}});
        return;
      }
      post("sendToContentPage", {name: "echo", pageId: "p1",
                                 data: {message, url: location.href}});
    },
  };
  post("ready", {});
)";

// Keeps what the background page sent it, for the test to read.
constexpr const char* kPopupScript = R"(
  window.received = [];
  window.settingsPopupExposedApi = {
    appMessageHandler(name, json) { window.received.push(JSON.parse(json).n); },
  };
  window.webkit.messageHandlers.settingPopupReady.postMessage({});
)";

// The WebKit web processes below `ancestor` (inside WebKit's sandbox, they are its
// grandchildren).
std::vector<pid_t> webProcessesOf(pid_t ancestor) {
  std::map<pid_t, pid_t> parents;
  std::map<pid_t, std::string> commands;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    std::size_t open = line.find('(');
    std::size_t close = line.rfind(')');
    char state = 0;
    int ppid = 0;
    if (open == std::string::npos || close == std::string::npos ||
        std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) != 2) {
      continue;
    }
    pid_t pid = static_cast<pid_t>(std::stoi(name));
    parents[pid] = ppid;
    commands[pid] = line.substr(open + 1, close - open - 1);
  }
  std::vector<pid_t> found;
  for (const auto& [pid, command] : commands) {
    if (!command.starts_with("WebKitWebProces")) continue;
    for (pid_t up = parents[pid]; up > 1; up = parents.count(up) ? parents[up] : 0) {
      if (up == ancestor) {
        found.push_back(pid);
        break;
      }
    }
  }
  return found;
}

// Kills every one of `pids` (SIGKILL); when it did.
Clock::time_point killAll(const std::vector<pid_t>& pids) {
  Clock::time_point now = Clock::now();
  for (pid_t pid : pids) ::kill(pid, SIGKILL);
  return now;
}

std::string milliseconds(Clock::duration duration) {
  return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count()) +
         " ms";
}

std::vector<ReceivedCall> echoes(const ScriptedPeer& browser, int n) {
  std::vector<ReceivedCall> found;
  for (const ReceivedCall& call : browser.calls()) {
    if (call.method == "page.dispatchMessageToScript" && call.args["name"] == "echo" &&
        call.args["userInfo"]["message"]["n"] == n) {
      found.push_back(call);
    }
  }
  return found;
}

class ExtensionFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ExtensionBundleContents contents{kBackgroundScript};
    contents.popupScript = kPopupScript;
    std::string bundle =
        writeExtensionBundle(dir.path(), contents, std::string(QV_EXTENSION_EXECUTABLE));
    ASSERT_FALSE(bundle.empty());
    std::string error;
    process = ExtensionProcess::start(bundle + "/Contents/MacOS/Quorvane_Safari_Extension", &error);
    ASSERT_TRUE(process) << error;
    browser.answer("application.getActiveWindow", {{"window", "window-1"}});
    browser.answer("window.getActiveTab", {{"tab", "tab-1"}});
    browser.answer("tab.getPages", {{"pages", {"page-1"}}});
    browser.serve(std::move(process->hostEnd));
  }

  void send(const std::string& json) {
    browser.notify("handler.messageReceived",
                   Json{{"name", "passToBgPage"},
                        {"page", "page-1"},
                        {"userInfo", passToBgPageUserInfo("p1", json)}});
  }
  bool echoed(int n, std::chrono::milliseconds within) {
    return browser.waitForCalls([&](const auto&) { return !echoes(browser, n).empty(); }, within);
  }
  // The popover's page answers `script`; null when it does not.
  Json popover(const std::string& script) {
    ipc::Reply reply = browser.call("automation.evaluatePopover", Json{{"script", script}});
    return reply.result ? reply.result->value("value", Json()) : Json();
  }

  TempDir dir;
  ScopedEnv configHome{"XDG_CONFIG_HOME", dir.path() + "/config"};
  ScopedEnv dataHome{"XDG_DATA_HOME", dir.path() + "/data"};
  ScopedEnv cacheHome{"XDG_CACHE_HOME", dir.path() + "/cache"};
  std::optional<ExtensionProcess> process;
  ScriptedPeer browser;
};

TEST_F(ExtensionFaults, TheBackgroundPageComesBackAndAMessageSentAfterTheKillArrivesOnce) {
  send(R"({"n":1})");
  ASSERT_TRUE(echoed(1, 60s)) << "the background page runs";
  std::vector<pid_t> victims = webProcessesOf(process->child.pid());
  ASSERT_FALSE(victims.empty()) << "the extension's web process was found";

  Clock::time_point killed = killAll(victims);
  send(R"({"n":2})");
  bool back = echoed(2, 10s);
  auto took = Clock::now() - killed;
  EXPECT_TRUE(back) << "the message sent after the kill arrived";
  EXPECT_LT(took, 2s) << "the page was back within 2 s";
  // Give a duplicate the time to show up.
  send(R"({"n":3})");
  EXPECT_TRUE(echoed(3, 10s));
  EXPECT_EQ(echoes(browser, 2).size(), 1u) << "exactly once";
  // Message 1 came before the first "ready": like every early call, each new page gets
  // it again, so it is echoed twice. Nothing sent later is.
  EXPECT_EQ(echoes(browser, 1).size(), 2u);
  EXPECT_EQ(echoes(browser, 3).size(), 1u);
  EXPECT_TRUE(process->child.running());
  reportFault("background page's web process killed", back && echoes(browser, 2).size() == 1,
              "nothing; back in " + milliseconds(took));
}

TEST_F(ExtensionFaults, TheShownPopupComesBackAndGetsWhatWasSentAfterTheKill) {
  send(R"({"n":0})");
  ASSERT_TRUE(echoed(0, 60s));
  browser.notify("handler.popoverWillShow", Json{{"window", "window-1"}});
  ASSERT_TRUE(waitUntil([&] { return popover("window.received.length") == 0; }, 30s));
  std::vector<pid_t> victims = webProcessesOf(process->child.pid());
  ASSERT_FALSE(victims.empty());

  Clock::time_point killed = killAll(victims);
  send(R"({"toPopup":true,"n":7})");
  bool back = waitUntil([&] { return popover("JSON.stringify(window.received)") == "[7]"; }, 10s);
  auto took = Clock::now() - killed;
  EXPECT_TRUE(back) << popover("JSON.stringify(window.received)").dump();
  EXPECT_LT(took, 2s) << "the popup was back within 2 s";
  reportFault("popup's web process killed while shown", back,
              "nothing; back in " + milliseconds(took));
}

TEST_F(ExtensionFaults, TheExtensionsViewsRefuseToNavigateAway) {
  send(R"({"n":1})");
  ASSERT_TRUE(echoed(1, 60s));
  send(R"({"navigate":"https://elsewhere.invalid/"})");
  browser.notify("handler.popoverWillShow", Json{{"window", "window-1"}});
  ASSERT_TRUE(waitUntil([&] { return popover("window.received.length") == 0; }, 30s));
  popover("location.href = 'https://elsewhere.invalid/'; 0");
  std::this_thread::sleep_for(1s);

  send(R"({"n":2})");
  ASSERT_TRUE(echoed(2, 10s));
  EXPECT_EQ(echoes(browser, 2)[0].args["userInfo"]["url"], "https://quorvane.test/");
  EXPECT_EQ(popover("location.href"), "https://quorvane.test/popup");
  EXPECT_EQ(popover("typeof window.settingsPopupExposedApi"), "object") << "the same page";
}

TEST_F(ExtensionFaults, ACallTheBrowserNeverAnswersCompletesEmptyAfterTenSeconds) {
  // The sign-in asks which window is in front and gets no answer: after the time limit
  // it carries on as if there were none, and opens a window of its own.
  browser.ignore("application.getActiveWindow");
  browser.answer("application.getAllWindows", {{"windows", Json::array()}});
  browser.answer("application.openWindow", {{"window", "window-9"}});
  browser.answer("window.getAllTabs", {{"tabs", {"tab-9"}}});
  browser.notify("handler.messageReceived", Json{{"name", "beginOAuth"},
                                                 {"page", "page-1"},
                                                 {"userInfo", {{"meta", {{"srcPageId", "p1"}}}}}});
  auto named = [](const std::string& method) {
    return [method](const std::vector<ReceivedCall>& calls) {
      for (const ReceivedCall& call : calls) {
        if (call.method == method) return true;
      }
      return false;
    };
  };
  ASSERT_TRUE(browser.waitForCalls(named("application.getActiveWindow"), 60s));
  Clock::time_point asked = Clock::now();
  bool carriedOn = browser.waitForCalls(named("application.openWindow"), 30s);
  auto waited = Clock::now() - asked;
  EXPECT_TRUE(carriedOn) << "the call completed and the sign-in went on";
  EXPECT_GE(waited, 9s) << "not before its time limit";
  EXPECT_LT(waited, 13s) << "soon after it";
  EXPECT_TRUE(process->child.running());
  reportFault("browser never answers an extension call", carriedOn && waited < 13s,
              "that answer; completed empty after " +
                  std::to_string(std::chrono::duration_cast<std::chrono::seconds>(waited).count()) +
                  " s");
}

}  // namespace
}  // namespace qv::test
