// A defaults store damaged under running processes, and a writer killed mid-commit.
// Each test prints one line of the fault table.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "platform/linux/store/SqliteUserDefaults.h"
#include "tests/faults/FaultReport.h"
#include "tests/integration/defaults/DefaultsTestHelpers.h"
#include "tests/support/ExtensionBundle.h"
#include "tests/support/ExtensionProcess.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TempDir.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kSuite = "K4ZT7P2QN8.group.com.quorvane.safari.extension";
constexpr const char* kOpenLoginTab = "message.oauthOpenLoginTabMessage";

std::size_t filesSetAside(const std::string& folder) {
  std::size_t count = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    count += entry.path().filename().string().ends_with("Z");  // ….corrupt-<UTC time>
  }
  return count;
}

// What `PRAGMA integrity_check` says of the file, opened afresh.
std::string integrityOf(const std::string& path) {
  sqlite3* db = nullptr;
  std::string verdict = "cannot open";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      verdict = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    } else {
      verdict = sqlite3_errmsg(db);
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return verdict;
}

TEST(StoreFaults, ASuiteOverwrittenWithGarbageIsKeptAsideAndWritesGoOn) {
  TempDir dir;
  ScopedEnv configHome{"XDG_CONFIG_HOME", dir.path() + "/config"};
  ScopedEnv dataHome{"XDG_DATA_HOME", dir.path() + "/data"};
  ScopedEnv cacheHome{"XDG_CACHE_HOME", dir.path() + "/cache"};
  const std::string folder = dir.path() + "/config/group-containers/" + kSuite;
  const std::string file = folder + "/defaults.sqlite3";

  const std::string config = dir.path() + "/config";
  auto requestSignIn = [&] {
    // The companion's request to open the sign-in page, written by another program.
    CommandResult written = runSuiteTool(config, kSuite, {"write", kOpenLoginTab, "--data", "[true]"});
    EXPECT_EQ(written.exitCode, 0) << written.err;
    return written.exitCode == 0;
  };
  ASSERT_TRUE(requestSignIn());  // the suite exists, whole, before the extension opens it

  // The real extension, its sign-in poll reading the suite every second.
  std::string bundle = writeExtensionBundle(
      dir.path(), {"window.exposedApi = {appMessage() {}};"
                   "window.webkit.messageHandlers.ready.postMessage({});"},
      std::string(QV_EXTENSION_EXECUTABLE));
  ASSERT_FALSE(bundle.empty());
  std::string error;
  auto process =
      ExtensionProcess::start(bundle + "/Contents/MacOS/Quorvane_Safari_Extension", &error);
  ASSERT_TRUE(process) << error;
  ScriptedPeer browser;
  browser.answer("application.getActiveWindow", {{"window", "window-1"}});
  browser.answer("window.openTab", {{"tab", "tab-5"}});
  browser.answer("application.openWindow", {{"window", "window-2"}});
  browser.answer("window.getAllTabs", {{"tabs", {"tab-6"}}});
  browser.answer("tab.getPages", {{"pages", Json::array()}});
  browser.serve(std::move(process->hostEnd));
  // The first page event builds the background page host, whose poll reads the suite.
  browser.notify("handler.messageReceived",
                 Json{{"name", "passToBgPage"},
                      {"page", "page-1"},
                      {"userInfo", passToBgPageUserInfo("p1", "{}")}});

  // The extension acts on the request and clears it: a write of its own.
  auto handled = [&](std::size_t windows) {
    bool opened = browser.waitForCalls(
        [&](const auto& calls) {
          std::size_t count = 0;
          for (const ReceivedCall& call : calls) count += call.method == "application.openWindow";
          return count >= windows;
        },
        30s);
    CommandResult read;
    bool cleared = waitUntil(
        [&] {
          read = runSuiteTool(config, kSuite, {"read", kOpenLoginTab});
          return read.exitCode == 0 && read.out.find("[null]") != std::string::npos;
        },
        10s);
    EXPECT_TRUE(opened) << "the request was acted on";
    EXPECT_TRUE(cleared) << "the extension's write landed: " << read.out << read.err;
    return opened && cleared;
  };
  ASSERT_TRUE(handled(1));
  // The poll acts on a request once until it has seen it cleared: give it a tick.
  std::this_thread::sleep_for(2s);

  // Another program writes over the file in place, under the running extension.
  {
    std::ofstream overwrite(file, std::ios::binary | std::ios::trunc);
    overwrite << std::string(20000, '#');
  }
  bool survived = requestSignIn() && handled(2);
  std::size_t aside = filesSetAside(folder);
  EXPECT_GE(aside, 1u) << "the damaged file is kept";
  EXPECT_EQ(integrityOf(file), "ok");
  reportFault("defaults store overwritten with garbage", survived && aside >= 1,
              "the old rows, kept aside in the .corrupt file");
  browser.close();
  EXPECT_TRUE(process->child.waitForExit(30s));
}

TEST(StoreFaults, AWriterKilledMidCommitLeavesOnlyCommittedValues) {
  TempDir dir;
  const std::string file = dir.path() + "/suite/defaults.sqlite3";
  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> delayMs(5, 60);
  long lastCommitted = 0;
  int violations = 0;
  for (int round = 0; round < 50; ++round) {
    const long first = lastCommitted + 1;
    auto writer =
        ChildProcess::start({QV_STORE_WRITER, file, std::to_string(first)}, {.captureStdout = true});
    ASSERT_TRUE(writer);
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
    writer->signal(SIGKILL);
    CommandResult ended = writer->finish(10s);
    // The last number printed was committed; the one after it may or may not have been.
    long printed = 0;
    for (std::size_t start = 0; start < ended.out.size();) {
      std::size_t end = ended.out.find('\n', start);
      if (end == std::string::npos) break;
      printed = std::stol(ended.out.substr(start, end - start));
      start = end + 1;
    }
    const long committed = printed != 0 ? printed : lastCommitted;
    auto store = SqliteUserDefaults::open(file);
    ASSERT_TRUE(store);
    std::optional<std::string> value = store->string("counter");
    long stored = value ? std::stol(value->substr(0, value->find(':'))) : 0;
    bool whole = !value || value->size() == value->find(':') + 1 + 64 * 1024;
    if (!whole || (stored != committed && stored != committed + 1)) {
      ++violations;
      ADD_FAILURE() << "round " << round << ": committed " << committed << ", stored " << stored;
    }
    store.reset();
    std::string integrity = integrityOf(file);
    if (integrity != "ok") {
      ++violations;
      ADD_FAILURE() << "round " << round << ": " << integrity;
    }
    lastCommitted = stored;
  }
  EXPECT_EQ(violations, 0);
  EXPECT_EQ(filesSetAside(dir.path() + "/suite"), 0u) << "nothing was ever corrupt";
  reportFault("store writer killed mid-commit, 50 times", violations == 0,
              "only the write in flight; last value " + std::to_string(lastCommitted));
}

TEST(StoreFaults, ASmallFileWriterKilledMidWriteLeavesTheOldFileOrTheNewOneWhole) {
  TempDir dir;
  const std::string file = dir.path() + "/registration.json";
  std::mt19937 random(8122026);
  std::uniform_int_distribution<int> delayMs(2, 40);
  int torn = 0;
  for (int round = 0; round < 50; ++round) {
    auto writer = ChildProcess::start({QV_FILE_WRITER, file});
    ASSERT_TRUE(writer);
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
    writer->signal(SIGKILL);
    writer->waitForExit(10s);
    if (!fs::exists(file)) continue;  // killed before its first rename
    std::string contents = fileContents(file);
    bool whole = contents == std::string(256 * 1024, 'a') || contents == std::string(256 * 1024, 'b');
    if (!whole) {
      ++torn;
      ADD_FAILURE() << "round " << round << ": " << contents.size() << " bytes, mixed or cut";
    }
  }
  std::size_t strays = 0;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    strays += entry.path().filename().string().find(".tmp-") != std::string::npos;
  }
  EXPECT_EQ(torn, 0);
  reportFault("small-file writer killed mid-write, 50 times", torn == 0,
              "only the write in flight; " + std::to_string(strays) +
                  " temporary files left beside it");
}

}  // namespace
}  // namespace qv::test
