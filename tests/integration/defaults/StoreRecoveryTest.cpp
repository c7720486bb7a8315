// A defaults store that is damaged or locked by someone else: the damaged file is kept
// aside and a new store takes over; a lock fails one operation. Real files, real SQLite.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <regex>

#include "platform/linux/store/SqliteUserDefaults.h"
#include "platform/testing/CapturedSystemLog.h"
#include "tests/integration/defaults/DefaultsTestHelpers.h"
#include "tests/support/TempDir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class StoreRecoveryTest : public ::testing::Test {
 protected:
  std::string folder() const { return home.path() + "/group-containers/suite"; }
  std::string file() const { return folder() + "/defaults.sqlite3"; }
  std::shared_ptr<SqliteUserDefaults> open() { return SqliteUserDefaults::open(file(), log); }

  // The files moved aside, by name.
  std::vector<std::string> setAside() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder())) {
      std::string name = entry.path().filename().string();
      if (name.find(".corrupt-") != std::string::npos) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  test::TempDir home;
  std::shared_ptr<testing::CapturedSystemLog> log = std::make_shared<testing::CapturedSystemLog>();
};

TEST_F(StoreRecoveryTest, AFileThatIsNotADatabaseIsKeptAsideAndANewStoreWorks) {
  const std::string garbage(5000, 'x');
  home.write("group-containers/suite/defaults.sqlite3", garbage);
  home.write("group-containers/suite/defaults.sqlite3-wal", "stale journal");

  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_FALSE(store->object("any"));
  ASSERT_TRUE(store->set("key", std::string("fresh")));
  EXPECT_EQ(store->string("key"), "fresh");

  std::vector<std::string> aside = setAside();
  ASSERT_GE(aside.size(), 2u);  // the file, its journal and perhaps a -shm SQLite made
  EXPECT_TRUE(std::regex_match(aside[0], std::regex(R"(defaults\.sqlite3\.corrupt-\d{8}T\d{6}Z)")))
      << aside[0];
  EXPECT_EQ(test::fileContents(folder() + "/" + aside[0]), garbage) << "nothing is lost";
  EXPECT_EQ(test::fileContents(folder() + "/" + aside[0] + "-wal"), "stale journal");
  ASSERT_EQ(log->lines().size(), 1u);
  EXPECT_NE(log->lines()[0].find("was corrupt"), std::string::npos) << log->lines()[0];
  EXPECT_NE(log->lines()[0].find(aside[0]), std::string::npos) << log->lines()[0];

  // A second recovery in the same second does not overwrite the first one's file.
  store.reset();
  home.write("group-containers/suite/defaults.sqlite3", "again");
  ASSERT_TRUE(open());
  std::vector<std::string> again = setAside();
  EXPECT_EQ(again.size(), aside.size() + 1);
  EXPECT_EQ(test::fileContents(folder() + "/" + aside[0]), garbage);
}

TEST_F(StoreRecoveryTest, AStoreOverwrittenWhileOpenIsReplacedBeforeTheNextWrite) {
  auto store = open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->set("before", std::string("1")));
  test::Recorder recorder(*store, "after");

  // Another program writes over the file in place, as `cat junk > file` would.
  home.write("group-containers/suite/defaults.sqlite3", std::string(8192, '\x7f'));
  ASSERT_TRUE(store->set("after", std::string("2")));
  EXPECT_EQ(store->string("after"), "2");
  EXPECT_FALSE(store->object("before")) << "the new store starts empty";
  EXPECT_FALSE(setAside().empty());
  EXPECT_TRUE(test::waitUntil([&] { return recorder.saw(std::string("2")); }, 5s))
      << "subscribers follow the new file";

  // The new file is a sound database for every other program.
  test::CommandResult check = test::runSuiteTool(home.path(), "suite", {"read", "after"});
  EXPECT_EQ(check.exitCode, 0) << check.err;
  EXPECT_NE(check.out.find('2'), std::string::npos) << check.out;
}

TEST_F(StoreRecoveryTest, AStoreAnotherProcessRecoveredIsFollowed) {
  auto store = open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->set("mine", std::string("old")));
  home.write("group-containers/suite/defaults.sqlite3", std::string(8192, '#'));
  test::CommandResult written =
      test::runSuiteTool(home.path(), "suite", {"write", "theirs", "--string", "new"});
  ASSERT_EQ(written.exitCode, 0) << written.err;
  EXPECT_FALSE(setAside().empty()) << "qv-defaults kept the damaged file";

  EXPECT_EQ(store->string("theirs"), "new") << "reads come from the file the path names now";
  EXPECT_TRUE(store->set("mine", std::string("again")));
  test::CommandResult read = test::runSuiteTool(home.path(), "suite", {"read", "mine"});
  EXPECT_NE(read.out.find("again"), std::string::npos) << read.out << read.err;
  EXPECT_TRUE(log->lines().empty()) << "only the process that recovered says so";
}

TEST_F(StoreRecoveryTest, ALockHeldPastTheBusyTimeoutFailsThatWriteOnlyAndIsLogged) {
  auto store = open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->set("key", std::string("kept")));

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(file().c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(store->set("key", std::string("blocked")));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 4s) << "the busy timeout was waited";
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);

  ASSERT_EQ(log->lines().size(), 1u);
  EXPECT_NE(log->lines()[0].find("writing key failed"), std::string::npos) << log->lines()[0];
  EXPECT_EQ(store->string("key"), "kept");
  EXPECT_TRUE(store->set("key", std::string("later")));
  EXPECT_TRUE(setAside().empty()) << "a locked store is not corrupt";
}

}  // namespace
}  // namespace qv
