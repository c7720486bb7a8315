// safari-host held to a browser's standard, through the real binary: automation only when
// asked for, a control socket only this user can reach, registrations that cannot borrow
// another bundle's consent, development authorities for their own hosts only, and no
// other application opened by a page on its own.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/HttpsTestServer.h"
#include "tests/support/IpcText.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"
#include "tests/support/gtk/HostProcess.h"
#include "tests/support/gtk/PngImages.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kExtension = TestBundle::kExtensionIdentifier;

TEST(SafariHostTrust, AutomationIsServedOnlyWithTheFlagAndItsWindowsSaySo) {
  HostProcess::Options options;
  options.automation = false;
  {
    HostProcess plain(options);
    ASSERT_TRUE(plain.start());
    for (const char* method : {"automation.listWindows", "automation.quit"}) {
      EXPECT_EQ(errorText(plain.call(method)), "automation is off") << method;
    }
    EXPECT_EQ(errorText(plain.call("automation.setExtensionEnabled",
                                   Json{{"extensionIdentifier", kExtension}, {"enabled", false}})),
              "automation is off");
    // The containing application's calls are no automation.
    ipc::Reply state = plain.call("extensions.getState", Json{{"extensionIdentifier", kExtension}});
    ASSERT_TRUE(state.result) << errorText(state);
    EXPECT_EQ((*state.result)["isEnabled"], true) << "the refused call changed nothing";
  }  // quits on SIGTERM, and must exit cleanly

  HostProcess driven;
  ASSERT_TRUE(driven.start());
  Json window = driven.callOk("automation.listWindows")["windows"][0];
  std::string shot = driven.root().path() + "/automation.png";
  driven.callOk("automation.screenshot", Json{{"window", window["window"]}, {"path", shot}});
  // The orange band that says "This browser is under remote automation".
  EXPECT_GT(countPixels(shot, 0xe6, 0x61, 0x00, 12), 2000) << shot;
}

// safari-host run by hand in `runtime`, to see it refuse.
CommandResult runBrowser(const std::string& runtime) {
  return runCommand({QV_SAFARI_HOST_PATH, "--automation"},
                    {"XDG_RUNTIME_DIR=" + runtime, "XDG_CONFIG_HOME=" + runtime + "/config",
                     "XDG_DATA_HOME=" + runtime + "/data"},
                    30s);
}

TEST(SafariHostTrust, RefusesToStartOnAControlFolderOthersCouldReach) {
  TempDir runtime;
  std::string folder = runtime.path() + "/safari-host-" + std::to_string(getuid());
  fs::create_directories(folder);
  ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
  CommandResult open = runBrowser(runtime.path());
  EXPECT_EQ(open.exitCode, 1) << open.err;
  EXPECT_NE(open.err.find(folder + " has mode 755"), std::string::npos) << open.err;

  ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
  if (getuid() == 0) {
    // Only root can hand a folder to someone else.
    ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
    CommandResult foreign = runBrowser(runtime.path());
    EXPECT_EQ(foreign.exitCode, 1) << foreign.err;
    EXPECT_NE(foreign.err.find("belongs to another user"), std::string::npos) << foreign.err;
  }
  EXPECT_FALSE(fs::exists(folder + "/control.sock")) << "nothing listened there";
}

// A second application bundle that claims the test extension's identifier too: a copy of
// the test bundle under another application identifier that the extension's own still
// begins with, as the registration rules require.
void registerClaimant(const HostProcess& host, const std::string& identifier) {
  std::string copy = host.root().path() + "/Claimant.app";
  fs::copy(host.bundlePath(), copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  std::string plistPath = copy + "/Contents/Info.plist";
  std::ifstream in(plistPath);
  std::string plist((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string original = std::string("<string>") + TestBundle::kAppIdentifier + "</string>";
  plist.replace(plist.find(original), original.size(), "<string>" + identifier + "</string>");
  std::ofstream(plistPath) << plist;
  host.root().write("data/safari-host/apps/" + identifier + ".json",
                    Json{{"bundlePath", copy}}.dump());
}

TEST(SafariHostTrust, AnIdentifierTwoBundlesClaimRunsInNeitherUntilOneGoes) {
  HostProcess host;
  ASSERT_TRUE(host.start());
  auto state = [&] {
    return host.call("extensions.getState", Json{{"extensionIdentifier", kExtension}});
  };
  ASSERT_TRUE(state().result);

  registerClaimant(host, "com.example");
  EXPECT_TRUE(waitUntil([&] { return errorText(state()) == "unknown extension: " + kExtension; }))
      << "a claimed identifier must not run: " << errorText(state());
  EXPECT_EQ(
      host.call("automation.toolbarItem",
                Json{{"window", host.callOk("automation.listWindows")["windows"][0]["window"]},
                     {"extensionIdentifier", kExtension}})
          .error.has_value(),
      true)
      << "nor show";

  fs::remove(host.dataHome() + "/safari-host/apps/com.example.json");
  EXPECT_TRUE(waitUntil([&] {
    ipc::Reply reply = state();
    return reply.result && (*reply.result)["isEnabled"] == true;
  })) << "the first bundle comes back with the user's choice";
}

TEST(SafariHostTrust, DevelopmentAuthoritiesVouchForTheirBundlesHostsOnceItIsEnabled) {
  HttpsTestServer server;
  ASSERT_TRUE(server.ok());
  server.handle(
      "GET", "/",
      TestResponse{
          200, {}, "<html><head><title>Secure</title></head><body>ok</body></html>", "text/html"});
  HostProcess::Options options;
  options.caPemPath = server.caPemPath();  // the bundle's deployment names 127.0.0.1 only
  options.enableExtension = false;
  HostProcess host(options);
  ASSERT_TRUE(host.start());
  auto title = [&](const std::string& url) {
    Json opened = host.openWindowAndWait(url);
    return host.callOk(
        "automation.evaluate",
        Json{{"tab", opened["tab"]}, {"script", "document.title"}, {"world", "page"}})["value"];
  };
  const std::string service = "https://" + server.hostAndPort() + "/";
  EXPECT_NE(title(service), "Secure") << "trusted before any of the bundle's extensions is enabled";

  host.callOk("automation.setExtensionEnabled",
              Json{{"extensionIdentifier", kExtension}, {"enabled", true}});
  EXPECT_EQ(title(service), "Secure");
  // The same server under another name: a host the deployment does not name.
  std::string elsewhere = service;
  elsewhere.replace(elsewhere.find("127.0.0.1"), 9, "localhost");
  EXPECT_NE(title(elsewhere), "Secure");
}

TEST(SafariHostTrust, NumbersAreCheckedBeforeTheyAreConverted) {
  HostProcess host;
  ASSERT_TRUE(host.start());
  std::string tab = host.callOk("automation.listWindows")["windows"][0]["tabs"][0]["tab"];
  for (double timeout : {1e300, -1e300, 2e19}) {
    ipc::Reply loaded =
        host.call("automation.waitForLoad", Json{{"tab", tab}, {"timeoutMs", timeout}});
    EXPECT_TRUE(loaded.result) << timeout << ": " << errorText(loaded);
  }
  EXPECT_EQ(errorText(host.call("automation.waitForLoad", Json{{"tab", tab}, {"timeoutMs", "1"}})),
            "timeoutMs must be a number or null");
  EXPECT_TRUE(host.isRunning());
}

TEST(SafariHostTrust, OnlyAGestureHandsAnotherSchemeToTheDesktop) {
  HostProcess host;
  std::string received = host.recordSchemeHandoffs("qvtest");
  ASSERT_TRUE(host.start());
  // A page that tries to open another application the moment it loads.
  Json opened = host.openWindowAndWait(
      "data:text/html,<title>Eager</title><script>location.href='qvtest://forged?code=1'"
      "</script>");
  std::this_thread::sleep_for(2s);
  EXPECT_FALSE(fs::exists(received)) << "a page opened another application on its own";

  // A link the person clicks (automation plays the person) opens it.
  host.callOk("automation.evaluate",
              Json{{"tab", opened["tab"]},
                   {"script",
                    "const link = document.createElement('a'); link.href = 'qvtest://clicked';"
                    " document.documentElement.append(link); link.click(); true"},
                   {"world", "page"}});
  ASSERT_TRUE(waitUntil([&] { return fs::exists(received); })) << "the click was not handed over";
  std::ifstream file(received);
  std::string uri((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(uri, "qvtest://clicked");
}

}  // namespace
}  // namespace qv::test
