#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/linux/store/SqliteUserDefaults.h"
#include "tests/integration/defaults/DefaultsTestHelpers.h"
#include "tests/support/TempDir.h"

namespace qv {
namespace {

using test::CommandResult;
using test::runTool;
using Value = UserDefaults::Value;

class QvDefaultsToolTest : public ::testing::Test {
 protected:
  CommandResult suite(std::vector<std::string> args) {
    return test::runSuiteTool(home.path(), "group.tool", std::move(args));
  }
  // The value `read` prints after the tool wrote it with `option text`.
  std::string roundTrip(const std::string& option, const std::string& text) {
    CommandResult written = suite({"write", "value", option, text});
    EXPECT_EQ(written.exitCode, 0) << option << " " << text << ": " << written.err;
    CommandResult read = suite({"read", "value"});
    EXPECT_EQ(read.exitCode, 0) << read.err;
    return read.out;
  }

  test::TempDir home;
};

TEST_F(QvDefaultsToolTest, WritesReadsListsAndDeletesEveryType) {
  EXPECT_EQ(roundTrip("--string", "0123 and\ttab"), "0123 and\ttab\n");
  EXPECT_EQ(roundTrip("--string", ""), "\n");
  EXPECT_EQ(roundTrip("--bool", "true"), "true\n");
  EXPECT_EQ(roundTrip("--bool", "false"), "false\n");
  EXPECT_EQ(roundTrip("--integer", "-9223372036854775808"), "-9223372036854775808\n");
  EXPECT_EQ(roundTrip("--real", "0.1"), "0.1\n");
  EXPECT_EQ(roundTrip("--real", "3"), "3\n");
  EXPECT_EQ(roundTrip("--real", "-2.5e-7"), "-2.5e-07\n");
  // Data comes back as exactly its bytes, with no newline added.
  EXPECT_EQ(roundTrip("--data", "{\"a\":1}\nline two"), "{\"a\":1}\nline two");

  ASSERT_EQ(suite({"write", "b.string", "--string", "text"}).exitCode, 0);
  ASSERT_EQ(suite({"write", "a.date", "--date", "2026-12-08T07:28:44Z"}).exitCode, 0);
  ASSERT_EQ(suite({"write", "c.integer", "--integer", "7"}).exitCode, 0);
  CommandResult list = suite({"list"});
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_EQ(list.out, "a.date\tdate\nb.string\tstring\nc.integer\tinteger\nvalue\tdata\n");

  EXPECT_EQ(suite({"delete", "b.string"}).exitCode, 0);
  EXPECT_EQ(suite({"delete", "never.written"}).exitCode, 0);
  CommandResult absent = suite({"read", "b.string"});
  EXPECT_EQ(absent.exitCode, 1);
  EXPECT_EQ(absent.out, "");

  // --app uses the application's standard defaults, a separate file.
  ASSERT_EQ(
      runTool(home.path(), {"--app", "com.example.app", "write", "k", "--integer", "5"}).exitCode,
      0);
  EXPECT_EQ(runTool(home.path(), {"--app", "com.example.app", "read", "k"}).out, "5\n");
  EXPECT_EQ(suite({"read", "k"}).exitCode, 1);
  struct stat info {};
  EXPECT_EQ(stat((home.path() + "/com.example.app/defaults.sqlite3").c_str(), &info), 0);
}

TEST_F(QvDefaultsToolTest, FormatsAndParsesDatesAsUtcIso8601) {
  // What is written, and what `read` prints for it.
  const std::pair<std::string, std::string> dates[] = {
      {"2026-12-08T07:28:44Z", "2026-12-08T07:28:44Z\n"},
      {"2026-12-08T09:58:44+02:30", "2026-12-08T07:28:44Z\n"},
      {"2026-12-07T23:28:44-08:00", "2026-12-08T07:28:44Z\n"},
      {"2026-12-08T07:28:44.123Z", "2026-12-08T07:28:44.123Z\n"},
      {"2026-12-08T07:28:44.500Z", "2026-12-08T07:28:44.5Z\n"},
      {"2000-02-29T12:00:00Z", "2000-02-29T12:00:00Z\n"},
      {"1969-12-31T23:59:59.5Z", "1969-12-31T23:59:59.5Z\n"},
  };
  for (const auto& [written, printed] : dates) EXPECT_EQ(roundTrip("--date", written), printed);

  // What the store holds is seconds since 1970; dates written in-process read the same.
  LinuxUserDefaultsFactory factory(home.path());
  auto store = factory.suite("group.tool");
  ASSERT_TRUE(store);
  EXPECT_EQ(store->date("value"), Date{-0.5});
  ASSERT_TRUE(store->set("value", Value(Date{1796714924.25})));
  EXPECT_EQ(suite({"read", "value"}).out, "2026-12-08T07:28:44.25Z\n");
  ASSERT_TRUE(store->set("value", Value(Date{951825600})));
  EXPECT_EQ(suite({"read", "value"}).out, "2000-02-29T12:00:00Z\n");
}

TEST_F(QvDefaultsToolTest, BadArgumentsPrintUsageAndExitTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"read", "k"},
      {"--suite"},
      {"--suite", "group.tool"},
      {"--suite", "group.tool", "frobnicate"},
      {"--bundle", "x", "list"},
      {"--suite", "group.tool", "read"},
      {"--suite", "group.tool", "read", "a", "b"},
      {"--suite", "group.tool", "delete"},
      {"--suite", "group.tool", "list", "extra"},
      {"--suite", "group.tool", "watch"},
      {"--suite", "group.tool", "write", "k"},
      {"--suite", "group.tool", "write", "k", "--string"},
      {"--suite", "group.tool", "write", "k", "--colour", "red"},
      {"--suite", "group.tool", "write", "k", "--bool", "yes"},
      {"--suite", "group.tool", "write", "k", "--integer", "12x"},
      {"--suite", "group.tool", "write", "k", "--integer", "99999999999999999999"},
      {"--suite", "group.tool", "write", "k", "--integer", ""},
      {"--suite", "group.tool", "write", "k", "--real", "abc"},
      {"--suite", "group.tool", "write", "k", "--real", "nan"},
      {"--suite", "group.tool", "write", "k", "--date", "2026-12-08"},
      {"--suite", "group.tool", "write", "k", "--date", "2026-12-08T07:28:44"},
      {"--suite", "group.tool", "write", "k", "--date", "2026-12-08 07:28:44Z"},
      {"--suite", "group.tool", "write", "k", "--date", "2026-13-08T07:28:44Z"},
      {"--suite", "group.tool", "write", "k", "--date", "2026-02-29T07:28:44Z"},
      {"--suite", "group.tool", "write", "k", "--date", "2026-12-08T24:00:00Z"},
      {"--suite", "group.tool", "write", "k", "--date", "2026-12-08T07:28:44.Z"},
      {"--suite", "group.tool", "write", "k", "--date", "2026-12-08T07:28:44+0200"},
      {"--suite", "group.tool", "write", "k", "--date", "2026-12-08T07:28:44Zjunk"},
      {"--suite", "group.tool", "write", "k", "--date", "1796714924"},
  };
  for (const auto& args : bad) {
    CommandResult result = runTool(home.path(), args);
    std::string joined;
    for (const auto& arg : args) joined += arg + " ";
    EXPECT_EQ(result.exitCode, 2) << joined;
    EXPECT_NE(result.err.find("usage: qv-defaults"), std::string::npos) << joined;
    EXPECT_EQ(result.out, "") << joined;
  }
  // Arguments are checked before any store is opened or created.
  struct stat info {};
  EXPECT_NE(stat((home.path() + "/group-containers").c_str(), &info), 0);
}

TEST_F(QvDefaultsToolTest, AStoreThatCannotBeOpenedExitsOne) {
  const std::string file = home.write("not-a-directory", "x");
  CommandResult result = runTool(file, {"--suite", "group.tool", "write", "k", "--bool", "true"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("cannot open"), std::string::npos) << result.err;
  EXPECT_EQ(runTool(home.path(), {"--suite", "..", "list"}).exitCode, 1);
}

TEST_F(QvDefaultsToolTest, WatchPrintsALinePerChangeFromOtherProcessesUntilTerminated) {
  ASSERT_EQ(suite({"write", "gone", "--integer", "1"}).exitCode, 0);
  auto watcher = test::startSuiteTool(home.path(), "group.tool", {"watch", "key", "gone"});
  ASSERT_TRUE(watcher);

  // The watcher subscribes some time after it starts: write until it reports one.
  bool ready = false;
  for (int attempt = 0; attempt < 100 && !ready; ++attempt) {
    ASSERT_EQ(suite({"write", "key", "--string", "ready" + std::to_string(attempt)}).exitCode, 0);
    ready = watcher->waitForOutput(
        [](const std::string& out) { return out.find("key\tready") != std::string::npos; },
        std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(ready) << watcher->out();

  auto printed = [&](const std::string& line) {
    return watcher->waitForOutput(
        [&](const std::string& out) { return out.find(line) != std::string::npos; },
        test::kWaitTimeout);
  };
  ASSERT_EQ(suite({"write", "key", "--date", "2026-12-08T09:28:44.5+02:00"}).exitCode, 0);
  EXPECT_TRUE(printed("key\t2026-12-08T07:28:44.5Z\n")) << watcher->out();
  ASSERT_EQ(suite({"delete", "gone"}).exitCode, 0);
  EXPECT_TRUE(printed("gone\t(absent)\n")) << watcher->out();
  ASSERT_EQ(suite({"write", "key", "--data", "raw bytes"}).exitCode, 0);
  EXPECT_TRUE(printed("key\traw bytes\n")) << watcher->out();

  watcher->signal(SIGTERM);
  CommandResult result = watcher->finish(std::chrono::seconds(10));
  EXPECT_EQ(result.exitCode, 0) << result.err;
  // Every line is KEY<TAB>VALUE for one of the watched keys.
  std::size_t start = 0;
  while (start < result.out.size()) {
    std::size_t end = result.out.find('\n', start);
    ASSERT_NE(end, std::string::npos) << "unterminated line in " << result.out;
    const std::string line = result.out.substr(start, end - start);
    EXPECT_TRUE(line.rfind("key\t", 0) == 0 || line.rfind("gone\t", 0) == 0) << line;
    start = end + 1;
  }
}

}  // namespace
}  // namespace qv
