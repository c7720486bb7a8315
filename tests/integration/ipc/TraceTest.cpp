// The cross-process trace: a message's key in the frames that serve it, the trace files
// each process writes, and the stage table made from them.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ipc/Connection.h"
#include "ipc/Frame.h"
#include "platform/linux/system/Trace.h"
#include "tests/support/SocketPair.h"
#include "tests/support/TempDir.h"
#include "tools/qv-trace/TraceStages.h"

namespace qv {
namespace {

using namespace std::chrono_literals;

// The next frame the raw end of a socket receives; `decoder` keeps what came after it.
std::optional<Json> readOneFrame(int fd, ipc::FrameDecoder& decoder) {
  char chunk[4096];
  for (;;) {
    if (std::optional<ipc::Incoming> incoming = decoder.next()) return incoming->message;
    ssize_t count = ::read(fd, chunk, sizeof chunk);
    if (count <= 0 || !decoder.feed(chunk, static_cast<std::size_t>(count))) return std::nullopt;
  }
}

// Tracing is process-wide: each test that starts it stops it again.
struct Tracing {
  explicit Tracing(std::string path) : path(std::move(path)) {}
  ~Tracing() { trace::stop(); }
  std::string path;
  bool started = trace::start(path, "test");
};

std::vector<std::string> stageNames(const tracing::StageTable& table) {
  std::vector<std::string> names;
  for (const auto& stage : table.stages) names.push_back(stage.stage);
  return names;
}

TEST(TraceTest, aCallCarriesItsMessagesKeyOnlyWhileTracingAndTheReceiverWorksUnderIt) {
  auto raw = test::socketPair();
  ASSERT_TRUE(raw);
  auto sender = ipc::Connection::start(raw->first.release(), {});
  ipc::FrameDecoder decoder;
  {
    trace::KeyScope key(41);
    ASSERT_TRUE(sender->notify("some.method", Json::object()));
  }
  std::optional<Json> untraced = readOneFrame(raw->second.get(), decoder);
  ASSERT_TRUE(untraced);
  EXPECT_FALSE(untraced->contains("trace")) << "frames are as the protocol has them";

  test::TempDir folder;
  Tracing tracing(folder.path() + "/trace.json");
  ASSERT_TRUE(tracing.started);
  trace::Key key = trace::newKey();
  EXPECT_NE(key, 0u);
  EXPECT_NE(trace::newKey(), key);
  {
    trace::KeyScope scope(key);
    ASSERT_TRUE(sender->notify("some.method", Json::object()));
  }
  ASSERT_TRUE(sender->notify("untraced.method", Json::object()));  // no key here
  std::optional<Json> traced = readOneFrame(raw->second.get(), decoder);
  ASSERT_TRUE(traced);
  EXPECT_EQ(traced->value("trace", trace::Key(0)), key);
  std::optional<Json> plain = readOneFrame(raw->second.get(), decoder);
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->contains("trace"));
  sender->close();

  // A connection that receives the frame handles it under the same key, on its reader.
  auto pair = test::socketPair();
  ASSERT_TRUE(pair);
  std::promise<trace::Key> seen;
  auto receiver = ipc::Connection::start(pair->second.release(),
                                         {[&](const std::string&, const Json&, ipc::Responder) {
                                            seen.set_value(trace::currentKey());
                                          },
                                          nullptr, nullptr, nullptr});
  auto peer = ipc::Connection::start(pair->first.release(), {});
  {
    trace::KeyScope scope(key);
    ASSERT_TRUE(peer->notify("some.method", Json::object()));
  }
  std::future<trace::Key> handled = seen.get_future();
  ASSERT_EQ(handled.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(handled.get(), key);
  peer->close();
  receiver->close();
}

TEST(TraceTest, theFilesOfTwoProcessesBecomeOneStageTableInPathOrder) {
  test::TempDir folder;
  std::string browserFile;
  trace::Key key = 0;
  trace::Clock::time_point extensionAt;
  {
    Tracing tracing(folder.path() + "/trace.json");
    ASSERT_TRUE(tracing.started);
    browserFile = tracing.path;
    key = trace::newKey();
    trace::KeyScope scope(key);
    {
      trace::Scope first("page message", trace::Flow::Begin);
      std::this_thread::sleep_for(2ms);
    }
    extensionAt = trace::Clock::now() + 200us;  // its stage comes in here
    std::this_thread::sleep_for(1ms);
    auto begin = trace::Clock::now();
    std::this_thread::sleep_for(1ms);
    trace::asyncSlice("evaluate", begin, key);
    // Work handed to another thread goes on under the key.
    std::thread([work = trace::carried([] { std::this_thread::sleep_for(1ms); }, "worker")] {
      work();
    }).join();
    trace::slice("delivered", trace::Clock::now(), key, trace::Flow::End);
    trace::slice("unrelated", trace::Clock::now(), trace::newKey());  // a path of one slice
    trace::mark("page ready");  // the process's own moment, on no message's path
  }
  // The extension's file: another process, between the browser's first and last stages.
  double at = std::chrono::duration<double, std::micro>(extensionAt.time_since_epoch()).count();
  char id[24];
  std::snprintf(id, sizeof id, "0x%llx", static_cast<unsigned long long>(key));
  std::string extensionFile = folder.write(
      "extension.json",
      "[\n" +
          Json{{"name", "process_name"}, {"ph", "M"}, {"pid", 1}, {"args", {{"name", "extension"}}}}
              .dump() +
          ",\n" +
          Json{{"name", "main"},
               {"ph", "X"},
               {"pid", 1},
               {"tid", 1},
               {"ts", at},
               {"dur", 100},
               {"args", {{"key", id}}}}
              .dump() +
          "\n");  // no closing bracket: the process was killed

  std::string error;
  auto browser = tracing::readTraceFile(browserFile, &error);
  ASSERT_TRUE(browser) << error;
  auto extension = tracing::readTraceFile(extensionFile, &error);
  ASSERT_TRUE(extension) << error;
  auto marks = std::count_if(browser->begin(), browser->end(), [](const Json& event) {
    return event.value("ph", "") == "i" && event.value("name", "") == "page ready" &&
           event.value("ts", 0.0) > 0;
  });
  EXPECT_EQ(marks, 1);
  std::vector<Json> events = *browser;
  events.insert(events.end(), extension->begin(), extension->end());
  tracing::StageTable table = tracing::stageTable(events);
  EXPECT_EQ(table.messages, 1u) << "the one-slice path is left out";
  std::vector<std::string> stages;
  for (const std::string& name : stageNames(table)) {
    if (name.rfind("  wait", 0) != 0) stages.push_back(name);
  }
  EXPECT_EQ(stages,
            (std::vector<std::string>{"test: page message", "extension: main", "test: evaluate",
                                      "test: worker", "test: delivered"}));
  for (const auto& stage : table.stages) EXPECT_EQ(stage.count, 1u) << stage.stage;
  EXPECT_GE(table.stages.front().p50Us, 2000) << "the page message slice lasted 2 ms";
  EXPECT_GE(table.whole.p50Us, 4000);
  EXPECT_NE(tracing::formatStageTable(table).find("test: page message"), std::string::npos);
}

TEST(TraceTest, aFileThatIsNoTraceIsRefusedWithItsReason) {
  test::TempDir folder;
  std::string error;
  EXPECT_FALSE(tracing::readTraceFile(folder.path() + "/absent.json", &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
  EXPECT_FALSE(tracing::readTraceFile(folder.write("junk.json", "not json\n{\"half"), &error));
  EXPECT_NE(error.find("no trace events"), std::string::npos) << error;
  // Perfetto's object form is read too.
  auto object = tracing::readTraceFile(
      folder.write("object.json", R"({"traceEvents": [{"name": "a", "ph": "X"}]})"), &error);
  ASSERT_TRUE(object) << error;
  EXPECT_EQ(object->size(), 1u);
}

}  // namespace
}  // namespace qv
