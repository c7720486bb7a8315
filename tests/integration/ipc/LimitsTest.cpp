// The connection's time limits and bounds over real sockets: calls that get no answer,
// replies and calls too large for a frame, and a peer that stops reading.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ipc/Connection.h"
#include "ipc/Frame.h"
#include "tests/support/IpcText.h"
#include "tests/support/SocketPair.h"
#include "tests/support/Wait.h"

namespace qv::ipc {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// What one end reported.
struct Reports {
  std::mutex mutex;
  std::vector<std::string> notices;
  std::vector<std::string> protocolErrors;
  std::atomic<bool> closed{false};

  Connection::Handlers handlers(
      std::function<void(const std::string&, const Json&, Responder)> onCall = nullptr) {
    return Connection::Handlers{std::move(onCall),
                                [this](const std::string& text) {
                                  std::lock_guard lock(mutex);
                                  protocolErrors.push_back(text);
                                },
                                [this] { closed = true; },
                                [this](const std::string& text) {
                                  std::lock_guard lock(mutex);
                                  notices.push_back(text);
                                }};
  }
  std::vector<std::string> noticesSoFar() {
    std::lock_guard lock(mutex);
    return notices;
  }
};

TEST(ConnectionLimitsTest, aCallWithoutAnAnswerTimesOutOnceAndALateReplyIsIgnored) {
  auto pair = test::socketPair();
  ASSERT_TRUE(pair);
  std::promise<Responder> held;
  auto server = Connection::start(pair->second.release(),
                                  {[&](const std::string&, const Json&, Responder responder) {
                                     held.set_value(responder);  // answered only later
                                   },
                                   nullptr, nullptr, nullptr});
  Reports client;
  Connection::Limits limits;
  limits.callTimeout = 300ms;
  auto connection = Connection::start(pair->first.release(), client.handlers(), limits);

  std::atomic<int> answers{0};
  std::promise<Reply> first;
  Clock::time_point sent = Clock::now();
  connection->call("slow", Json::object(), [&](Reply reply) {
    if (answers++ == 0) first.set_value(std::move(reply));
  });
  auto outcome = first.get_future();
  ASSERT_EQ(outcome.wait_for(5s), std::future_status::ready);
  Reply reply = outcome.get();
  auto waited = Clock::now() - sent;
  ASSERT_TRUE(reply.error);
  EXPECT_EQ(reply.error->kind, ErrorKind::TimedOut);
  EXPECT_GE(waited, 300ms);
  EXPECT_LT(waited, 2s);

  held.get_future().get().reply(Json{{"late", true}});
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(answers, 1) << "the late reply reached nobody";
  EXPECT_EQ(client.noticesSoFar().size(), 1u) << "the time-out is told once";
  EXPECT_TRUE(connection->isOpen());
  connection->close();
  server->close();
}

constexpr Field kWaitArgs[] = {{"timeoutMs", Type::Number, true}};
constexpr Method wait{"test.wait", kWaitArgs, {}, true, false, "timeoutMs"};

TEST(ConnectionLimitsTest, aCallsOwnTimeOutExtendsItsLimit) {
  auto pair = test::socketPair();
  ASSERT_TRUE(pair);
  auto server = Connection::start(pair->second.release(),
                                  {[](const std::string&, const Json&, Responder responder) {
                                     std::thread([responder] {
                                       std::this_thread::sleep_for(600ms);
                                       responder.reply();
                                     }).detach();
                                   },
                                   nullptr, nullptr, nullptr});
  Connection::Limits limits;
  limits.callTimeout = 100ms;
  auto connection = Connection::start(pair->first.release(), {}, limits);
  Reply patient = connection->callAndWait(wait, Json{{"timeoutMs", 500}});
  EXPECT_TRUE(patient.result) << "500 ms and a second outlast the 600 ms answer: "
                              << test::errorText(patient);
  Reply hurried = connection->callAndWait(wait, Json::object());
  ASSERT_TRUE(hurried.error);
  EXPECT_EQ(hurried.error->kind, ErrorKind::TimedOut);
  connection->close();
  server->close();
}

// The reader keeps a wake-up time after the calls that set it were answered, so that a
// steady stream of calls does not wake it for each one. A call must still time out by
// its own deadline, later than that wake-up or earlier.
TEST(ConnectionLimitsTest, aCallTimesOutByItsOwnDeadlineWhateverTheReaderWaitedFor) {
  auto pair = test::socketPair();
  ASSERT_TRUE(pair);
  auto server = Connection::start(pair->second.release(),
                                  {[](const std::string& method, const Json&, Responder responder) {
                                     if (method == "quick") responder.reply();
                                     // Anything else is never answered.
                                   },
                                   nullptr, nullptr, nullptr});
  Connection::Limits limits;
  limits.callTimeout = 300ms;
  auto connection = Connection::start(pair->first.release(), {}, limits);
  auto timeOut = [&](const std::function<void(Connection::ReplyHandler)>& call) {
    auto outcome = std::make_shared<std::promise<Reply>>();
    Clock::time_point sent = Clock::now();
    call([outcome](Reply reply) { outcome->set_value(std::move(reply)); });
    auto future = outcome->get_future();
    EXPECT_EQ(future.wait_for(5s), std::future_status::ready);
    Reply reply = future.get();
    EXPECT_TRUE(reply.error && reply.error->kind == ErrorKind::TimedOut);
    return Clock::now() - sent;
  };

  // Answered calls leave the reader a wake-up at the first one's deadline; the unanswered
  // call's deadline comes after it.
  for (int index = 0; index < 3; ++index) {
    EXPECT_TRUE(connection->callAndWait("quick", Json::object(), 300ms).result);
    std::this_thread::sleep_for(60ms);
  }
  auto later = timeOut([&](auto done) { connection->call("never", Json::object(), done); });
  EXPECT_GE(later, 300ms);
  EXPECT_LT(later, 800ms) << "timed out only long after its deadline";

  // A call whose deadline is days away, then one due before it.
  connection->call(wait, Json{{"timeoutMs", 3.0e8}}, [](Reply) {});
  auto earlier = timeOut([&](auto done) { connection->call("never", Json::object(), done); });
  EXPECT_GE(earlier, 300ms);
  EXPECT_LT(earlier, 800ms) << "waited for the earlier call's deadline";
  connection->close();
  server->close();
}

TEST(ConnectionLimitsTest, framesTooLargeAreNeverDroppedSilently) {
  auto pair = test::socketPair();
  ASSERT_TRUE(pair);
  const std::string huge(maxMessageSize + 1, 'x');
  Reports server;
  auto serverEnd = Connection::start(
      pair->second.release(),
      server.handlers([&](const std::string& method, const Json&, Responder responder) {
        if (method == "big") return responder.reply(Json{{"text", huge}});
        responder.reply(Json{{"ok", true}});
      }));
  Reports client;
  auto connection = Connection::start(pair->first.release(), client.handlers());

  Reply big = connection->callAndWait("big", Json::object());
  EXPECT_EQ(test::errorText(big), "reply too large");

  Reply unsent = connection->callAndWait("echo", Json{{"text", huge}});
  ASSERT_TRUE(unsent.error);
  EXPECT_EQ(unsent.error->kind, ErrorKind::NotSent);
  EXPECT_FALSE(connection->notify("echo", Json{{"text", huge}}));
  EXPECT_EQ(client.noticesSoFar().size(), 2u) << "each unsendable message is told";
  // Nothing of it went out: the connection carries on.
  EXPECT_TRUE(connection->callAndWait("small", Json::object()).result);
  connection->close();
  serverEnd->close();
}

TEST(ConnectionLimitsTest, aPeerThatStopsReadingIsDroppedAndNeverBlocksTheSender) {
  auto pair = test::socketPair();
  ASSERT_TRUE(pair);
  UniqueFd silent = std::move(pair->second);  // reads nothing, ever
  Reports sender;
  Connection::Limits limits;
  limits.writer.maxQueuedBytes = 4 * 1024 * 1024;
  limits.writer.stallTimeout = 500ms;
  auto connection = Connection::start(pair->first.release(), sender.handlers(), limits);

  // Far more than the socket buffers hold, sent as fast as the sender can.
  const Json chunk{{"text", std::string(64 * 1024, 'y')}};
  Clock::time_point start = Clock::now();
  int sent = 0;
  while (connection->notify("flood", chunk) && sent < 10000) ++sent;
  EXPECT_LT(Clock::now() - start, 2s) << "sending never waits for the peer";
  EXPECT_LT(sent, 10000) << "the queue is bounded";
  ASSERT_TRUE(test::waitUntil([&] { return sender.closed.load(); }, 5s));
  std::lock_guard lock(sender.mutex);
  ASSERT_EQ(sender.protocolErrors.size(), 1u);
  EXPECT_NE(sender.protocolErrors[0].find("stalled"), std::string::npos)
      << sender.protocolErrors[0];
}

TEST(ConnectionLimitsTest, aPeerThatReadsNothingForTheStallTimeIsDropped) {
  auto pair = test::socketPair();
  ASSERT_TRUE(pair);
  UniqueFd silent = std::move(pair->second);
  Reports sender;
  Connection::Limits limits;
  // Sanitizer builds take a good part of 400 ms to frame the megabytes below.
  limits.writer.stallTimeout = 400ms * test::kSlowdown;
  auto connection = Connection::start(pair->first.release(), sender.handlers(), limits);
  // A few megabytes: more than the socket takes, far below the queue's bound.
  const Json chunk{{"text", std::string(1024 * 1024, 'z')}};
  Clock::time_point start = Clock::now();  // the stall clock starts with the first frame
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(connection->notify("some", chunk));
  ASSERT_TRUE(test::waitUntil([&] { return sender.closed.load(); }, 5s * test::kSlowdown));
  EXPECT_GE(Clock::now() - start, 350ms * test::kSlowdown) << "not dropped before the stall time";
  std::lock_guard lock(sender.mutex);
  ASSERT_EQ(sender.protocolErrors.size(), 1u);
  EXPECT_NE(sender.protocolErrors[0].find("read nothing"), std::string::npos)
      << sender.protocolErrors[0];
}

}  // namespace
}  // namespace qv::ipc
