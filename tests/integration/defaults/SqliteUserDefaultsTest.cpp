#include "platform/linux/store/SqliteUserDefaults.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <sstream>
#include <thread>

#include "tests/integration/defaults/DefaultsTestHelpers.h"
#include "tests/support/TempDir.h"

namespace qv {
namespace {

using test::drainNotifications;
using test::Recorder;
using test::waitUntil;
using Value = UserDefaults::Value;

// A second connection to the same file, as another program would have.
class RawConnection {
 public:
  explicit RawConnection(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db_) == SQLITE_OK) sqlite3_busy_timeout(db_, 10000);
  }
  ~RawConnection() { sqlite3_close(db_); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  int exec(const std::string& sql) {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  }
  // The first column of the first row, as text.
  std::string text(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    std::string result;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0) != nullptr) {
      result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
    return result;
  }

 private:
  sqlite3* db_ = nullptr;
};

std::string collapseSpaces(const std::string& text) {
  std::istringstream words(text);
  std::string word, result;
  while (words >> word) result += (result.empty() ? "" : " ") + word;
  return result;
}

class SqliteUserDefaultsTest : public ::testing::Test {
 protected:
  std::string suiteFile(const std::string& name) const {
    return home.path() + "/group-containers/" + name + "/defaults.sqlite3";
  }
  // qv-defaults' exit status after it ran on `suite`: a change from another process.
  int fromOtherProcess(const std::string& suite, std::vector<std::string> args) const {
    return test::runSuiteTool(home.path(), suite, std::move(args)).exitCode;
  }

  test::TempDir home;
  LinuxUserDefaultsFactory factory{home.path()};
};

TEST_F(SqliteUserDefaultsTest, StoresAllSixTypesAndReadsOnlyTheStoredType) {
  auto store = factory.suite("group.types");
  ASSERT_TRUE(store);
  const Bytes binary{0x00, 0x01, 0xff, '\n', 0x00};
  const std::int64_t minimum = std::numeric_limits<std::int64_t>::min();
  const std::int64_t maximum = std::numeric_limits<std::int64_t>::max();
  const std::vector<std::pair<std::string, Value>> values = {
      {"data", Value(binary)},
      {"data.empty", Value(Bytes{})},
      {"string", Value(std::string("h\xc3\xa9llo\tworld"))},
      {"string.empty", Value(std::string())},
      // Text that SQLite's numeric affinity would turn into a number must survive as is.
      {"string.leadingZero", Value(std::string("0123"))},
      {"string.exponent", Value(std::string("1e5"))},
      {"string.decimal", Value(std::string("3.0"))},
      {"bool.true", Value(true)},
      {"bool.false", Value(false)},
      {"integer.min", Value(minimum)},
      {"integer.max", Value(maximum)},
      {"real.fraction", Value(0.1)},
      {"real.whole", Value(3.0)},
      {"real.huge", Value(1e300)},
      {"date.fraction", Value(Date{1796714924.5})},
      {"date.whole", Value(Date{1796714924})},
  };
  for (const auto& [key, value] : values) EXPECT_TRUE(store->set(key, value)) << key;

  for (const auto& [key, value] : values) EXPECT_EQ(store->object(key), value) << key;
  EXPECT_EQ(store->data("data"), binary);
  EXPECT_EQ(store->data("data.empty"), Bytes{});
  EXPECT_EQ(store->string("string.leadingZero"), "0123");
  EXPECT_EQ(store->string("string.exponent"), "1e5");
  EXPECT_EQ(store->boolean("bool.false"), false);
  EXPECT_EQ(store->integer("integer.min"), minimum);
  EXPECT_EQ(store->real("real.whole"), 3.0);
  EXPECT_EQ(store->date("date.whole"), Date{1796714924});

  // Another type than the stored one reads as absent, even where SQLite stores both as
  // the same number.
  EXPECT_FALSE(store->string("data"));
  EXPECT_FALSE(store->data("string"));
  EXPECT_FALSE(store->integer("string.leadingZero"));
  EXPECT_FALSE(store->integer("bool.true"));
  EXPECT_FALSE(store->boolean("integer.max"));
  EXPECT_FALSE(store->integer("real.whole"));
  EXPECT_FALSE(store->real("date.whole"));
  EXPECT_FALSE(store->date("real.whole"));
  EXPECT_FALSE(store->object("missing"));

  std::vector<std::pair<std::string, Value>> expected = values;
  std::sort(expected.begin(), expected.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  EXPECT_EQ(store->all(), expected);

  // A NaN cannot be stored (SQLite keeps it as NULL): the write fails and changes nothing.
  EXPECT_FALSE(store->set("real.fraction", Value(std::numeric_limits<double>::quiet_NaN())));
  EXPECT_EQ(store->real("real.fraction"), 0.1);
}

TEST_F(SqliteUserDefaultsTest, DeletesOverwritesAndPersistsAcrossReopen) {
  {
    auto store = factory.suite("group.persist");
    ASSERT_TRUE(store);
    EXPECT_TRUE(store->set("kept", Value(std::string("value"))));
    EXPECT_TRUE(store->set("removed", Value(std::int64_t{1})));
    EXPECT_TRUE(store->set("retyped", Value(std::int64_t{7})));
    EXPECT_TRUE(store->set("retyped", Value(std::string("seven"))));
    EXPECT_TRUE(store->set("removed", std::nullopt));
    EXPECT_TRUE(store->set("never.there", std::nullopt));
    EXPECT_FALSE(store->object("removed"));

    // One store per file in a process, whichever factory asks.
    LinuxUserDefaultsFactory other(home.path() + "/./");
    EXPECT_EQ(other.suite("group.persist"), store);
    EXPECT_EQ(factory.suite("group.persist"), store);
    EXPECT_NE(factory.suite("group.other"), store);
    EXPECT_NE(factory.standard("group.persist"), store);
  }
  LinuxUserDefaultsFactory reopened(home.path());
  auto store = reopened.suite("group.persist");
  ASSERT_TRUE(store);
  EXPECT_EQ(store->string("kept"), "value");
  EXPECT_EQ(store->string("retyped"), "seven");
  EXPECT_FALSE(store->integer("retyped"));
  EXPECT_FALSE(store->object("removed"));
  std::vector<std::pair<std::string, Value>> expected = {{"kept", Value(std::string("value"))},
                                                         {"retyped", Value(std::string("seven"))}};
  EXPECT_EQ(store->all(), expected);
}

TEST_F(SqliteUserDefaultsTest, CreatesPrivateDirectoriesWithTheAgreedSchemaInWalMode) {
  ASSERT_TRUE(factory.suite("group.layout"));
  ASSERT_TRUE(factory.standard("com.example.app"));
  const std::string standardFile = home.path() + "/com.example.app/defaults.sqlite3";

  for (const std::string& file : {suiteFile("group.layout"), standardFile}) {
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0) << file;
    const std::string directory = file.substr(0, file.rfind('/'));
    ASSERT_EQ(stat(directory.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u) << directory;

    RawConnection raw(file);
    EXPECT_EQ(collapseSpaces(raw.text("SELECT sql FROM sqlite_master WHERE name = 'defaults'")),
              "CREATE TABLE defaults ( key TEXT PRIMARY KEY NOT NULL, type TEXT NOT NULL CHECK "
              "(type IN ('data','string','bool','integer','real','date')), value ANY NOT NULL )");
    EXPECT_EQ(raw.text("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(raw.exec("INSERT INTO defaults VALUES ('k', 'colour', 'red')"), SQLITE_CONSTRAINT);
    EXPECT_EQ(raw.exec("INSERT INTO defaults VALUES ('k', 'string', NULL)"), SQLITE_CONSTRAINT);
  }
}

TEST_F(SqliteUserDefaultsTest, ReadsRowsOtherProgramsWroteWithMismatchedStorage) {
  auto store = factory.suite("group.foreign");
  ASSERT_TRUE(store);
  RawConnection raw(suiteFile("group.foreign"));
  ASSERT_EQ(raw.exec("INSERT INTO defaults VALUES "
                     "('data.text', 'data', 'plain'), ('data.number', 'data', 42.5),"
                     "('string.number', 'string', 42), ('string.blob', 'string', x'6869'),"
                     "('bool.one', 'bool', 1), ('bool.seven', 'bool', 7),"
                     "('integer.fraction', 'integer', 2.5), ('integer.text', 'integer', 'ten'),"
                     "('real.text', 'real', 'pi'), ('date.integer', 'date', 1796714924)"),
            SQLITE_OK);
  EXPECT_EQ(store->data("data.text"), toBytes("plain"));
  EXPECT_FALSE(store->object("data.number"));
  EXPECT_EQ(store->string("string.number"), "42");
  EXPECT_EQ(store->string("string.blob"), "hi");
  EXPECT_EQ(store->boolean("bool.one"), true);
  EXPECT_FALSE(store->object("bool.seven"));
  EXPECT_FALSE(store->object("integer.fraction"));
  EXPECT_FALSE(store->object("integer.text"));
  EXPECT_FALSE(store->object("real.text"));
  EXPECT_EQ(store->date("date.integer"), Date{1796714924});

  std::vector<std::string> keys;
  for (const auto& entry : store->all()) keys.push_back(entry.first);
  EXPECT_EQ(keys, (std::vector<std::string>{"bool.one", "data.text", "date.integer", "string.blob",
                                            "string.number"}));
}

TEST_F(SqliteUserDefaultsTest, RejectsEscapingNamesAndUnusablePaths) {
  for (const std::string& name :
       {std::string(), std::string("."), std::string(".."), std::string("a/b"),
        std::string("../escape"), std::string("/abs"), std::string("nul\0byte", 8)}) {
    EXPECT_FALSE(factory.suite(name)) << name;
    EXPECT_FALSE(factory.standard(name)) << name;
  }
  struct stat info {};
  EXPECT_NE(stat((home.path() + "/escape").c_str(), &info), 0);

  // A file where the directory should be, a directory where the database should be, and
  // a config home below a file. (A file that is not a database is recovered from.)
  home.write("group-containers/blocked", "a file");
  EXPECT_FALSE(factory.suite("blocked"));
  ASSERT_EQ(mkdir((home.path() + "/group-containers/dir").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((home.path() + "/group-containers/dir/defaults.sqlite3").c_str(), 0700), 0);
  EXPECT_FALSE(factory.suite("dir"));
  LinuxUserDefaultsFactory belowFile(home.path() + "/group-containers/blocked");
  EXPECT_FALSE(belowFile.suite("any"));
  EXPECT_FALSE(belowFile.standard("com.example.app"));
}

TEST_F(SqliteUserDefaultsTest, LocalWritesNotifyTheirKeyOnly) {
  auto store = factory.suite("group.local");
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->set("key", Value(std::string("A"))));
  Recorder key(*store, "key");
  Recorder quiet(*store, "quiet");

  // A -> B -> A while the watcher is held up in another callback, so that it can only
  // ever see A again: the key is still notified.
  std::mutex gateMutex;
  std::condition_variable gateChanged;
  bool gateOpen = false;
  std::atomic<bool> held{false};
  auto gate = store->subscribe("gate", [&] {
    held = true;
    std::unique_lock lock(gateMutex);
    gateChanged.wait_for(lock, std::chrono::seconds(10), [&] { return gateOpen; });
  });
  ASSERT_TRUE(store->set("gate", Value(true)));
  ASSERT_TRUE(waitUntil([&] { return held.load(); }));
  ASSERT_TRUE(store->set("key", Value(std::string("B"))));
  ASSERT_TRUE(store->set("key", Value(std::string("A"))));
  {
    std::lock_guard lock(gateMutex);
    gateOpen = true;
  }
  gateChanged.notify_all();
  EXPECT_TRUE(waitUntil([&] { return key.saw("A"); }));

  ASSERT_TRUE(store->set("unrelated", Value(true)));
  ASSERT_TRUE(store->set("key", std::nullopt));
  EXPECT_TRUE(waitUntil([&] { return key.saw(std::nullopt); }));
  ASSERT_TRUE(drainNotifications(*store));
  EXPECT_EQ(quiet.calls(), 0);
}

TEST_F(SqliteUserDefaultsTest, CommitsFromOtherProcessesAndConnectionsReachSubscribers) {
  auto store = factory.suite("group.cross");
  ASSERT_TRUE(store);
  Recorder key(*store, "key");
  Recorder fresh(*store, "fresh");

  ASSERT_EQ(fromOtherProcess("group.cross", {"write", "key", "--string", "one"}), 0);
  EXPECT_TRUE(waitUntil([&] { return key.saw("one"); }));
  ASSERT_EQ(fromOtherProcess("group.cross", {"write", "fresh", "--string", "new"}), 0);
  EXPECT_TRUE(waitUntil([&] { return fresh.saw("new"); }));
  ASSERT_EQ(fromOtherProcess("group.cross", {"delete", "key"}), 0);
  EXPECT_TRUE(waitUntil([&] { return key.saw(std::nullopt); }));

  // A plain SQLite connection that does not announce its commits is found as well.
  RawConnection raw(suiteFile("group.cross"));
  ASSERT_EQ(raw.exec("INSERT INTO defaults VALUES ('key', 'string', 'raw')"), SQLITE_OK);
  EXPECT_TRUE(waitUntil([&] { return key.saw("raw"); }));
}

TEST_F(SqliteUserDefaultsTest, CommitsThatLeaveTheValueEqualDoNotDisturbLaterChanges) {
  auto store = factory.suite("group.equal");
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->set("key", Value(std::string("same"))));
  Recorder key(*store, "key");

  RawConnection raw(suiteFile("group.equal"));
  ASSERT_EQ(raw.exec("UPDATE defaults SET value = value WHERE key = 'key'"), SQLITE_OK);
  ASSERT_EQ(raw.exec("UPDATE defaults SET value = 'other' WHERE key = 'missing'"), SQLITE_OK);
  ASSERT_EQ(fromOtherProcess("group.equal", {"write", "key", "--string", "same"}), 0);
  ASSERT_EQ(fromOtherProcess("group.equal", {"write", "key", "--string", "next"}), 0);
  EXPECT_TRUE(waitUntil([&] { return key.saw("next"); }));
  EXPECT_EQ(store->string("key"), "next");
}

TEST_F(SqliteUserDefaultsTest, UnsubscribingStopsOnlyThatSubscription) {
  auto store = factory.suite("group.unsubscribe");
  ASSERT_TRUE(store);
  Recorder first(*store, "key");
  Recorder second(*store, "key");
  ASSERT_TRUE(store->set("key", Value(std::string("both"))));
  EXPECT_TRUE(waitUntil([&] { return first.saw("both") && second.saw("both"); }));

  ASSERT_TRUE(drainNotifications(*store));
  first.unsubscribe();
  const int firstCalls = first.calls();
  ASSERT_TRUE(store->set("key", Value(std::string("local"))));
  ASSERT_EQ(fromOtherProcess("group.unsubscribe", {"write", "key", "--string", "remote"}), 0);
  EXPECT_TRUE(waitUntil([&] { return second.saw("remote"); }));
  ASSERT_TRUE(drainNotifications(*store));
  EXPECT_EQ(first.calls(), firstCalls);
}

TEST_F(SqliteUserDefaultsTest, SubscriptionLifetimeIsSafeFromEveryThread) {
  auto store = factory.suite("group.lifetime");
  ASSERT_TRUE(store);

  // Destroyed on another thread while its callback runs: the destructor waits for it.
  std::atomic<bool> entered{false};
  std::atomic<bool> finished{false};
  auto slow = store->subscribe("slow", [&] {
    entered = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    finished = true;
  });
  ASSERT_TRUE(store->set("slow", Value(true)));
  ASSERT_TRUE(waitUntil([&] { return entered.load(); }));
  slow.reset();
  EXPECT_TRUE(finished);

  // Destroyed from inside its own callback: no deadlock, and no further calls.
  std::unique_ptr<Subscription> self;
  std::atomic<int> selfCalls{0};
  self = store->subscribe("self", [&] {
    self.reset();
    selfCalls.fetch_add(1);
  });
  ASSERT_TRUE(store->set("self", Value(std::int64_t{1})));
  ASSERT_TRUE(waitUntil([&] { return selfCalls.load() == 1; }));
  ASSERT_TRUE(store->set("self", Value(std::int64_t{2})));
  ASSERT_TRUE(drainNotifications(*store));
  EXPECT_EQ(selfCalls.load(), 1);

  // A subscription may outlive its store.
  auto orphan = store->subscribe("orphan", [] {});
  store.reset();
  orphan.reset();
}

TEST_F(SqliteUserDefaultsTest, TheLastOwnerMayReleaseTheStoreInsideACallback) {
  std::shared_ptr<UserDefaults> holder = factory.suite("group.release");
  ASSERT_TRUE(holder);
  std::atomic<bool> released{false};
  auto subscription = holder->subscribe("key", [&holder, &released] {
    holder.reset();
    released = true;
  });
  ASSERT_EQ(fromOtherProcess("group.release", {"write", "key", "--bool", "true"}), 0);
  ASSERT_TRUE(waitUntil([&] { return released.load(); }));
  subscription.reset();
  auto reopened = factory.suite("group.release");
  ASSERT_TRUE(reopened);
  EXPECT_EQ(reopened->boolean("key"), true);
}

TEST_F(SqliteUserDefaultsTest, ConcurrentWritersInThreadsAndProcessesAllLand) {
  auto store = factory.suite("group.concurrent");
  ASSERT_TRUE(store);
  Recorder last(*store, "thread0.key24");

  constexpr int kThreads = 4;
  constexpr int kWrites = 25;
  // Other processes write at the same time as this one's threads.
  std::vector<test::ChildProcess> tools;
  for (int p = 0; p < 3; ++p) {
    auto child = test::startSuiteTool(
        home.path(), "group.concurrent",
        {"write", "process" + std::to_string(p), "--integer", std::to_string(p)});
    ASSERT_TRUE(child);
    tools.push_back(std::move(*child));
  }
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kWrites; ++i) {
        const std::string key = "thread" + std::to_string(t) + ".key" + std::to_string(i);
        if (!store->set(key, Value(key))) failures.fetch_add(1);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(failures.load(), 0);
  for (int p = 0; p < 3; ++p) {
    test::CommandResult result = tools[p].finish(std::chrono::seconds(30));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(store->integer("process" + std::to_string(p)), p);
  }
  EXPECT_EQ(store->all().size(), static_cast<std::size_t>(kThreads * kWrites + 3));
  EXPECT_TRUE(waitUntil([&] { return last.saw("thread0.key24"); }));
}

}  // namespace
}  // namespace qv
