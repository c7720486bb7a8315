#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <algorithm>
#include <future>
#include <mutex>

#include "ipc/Connection.h"
#include "ipc/Frame.h"
#include "tests/support/IpcText.h"

namespace qv::ipc {
namespace {

// Collects what one side of a connection sees.
struct Events {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> protocolErrors;
  bool closed = false;

  Connection::Handlers handlers() {
    return Connection::Handlers{nullptr,
                                [this](const std::string& description) {
                                  std::lock_guard lock(mutex);
                                  protocolErrors.push_back(description);
                                },
                                [this] {
                                  std::lock_guard lock(mutex);
                                  closed = true;
                                  changed.notify_all();
                                },
                                nullptr};
  }
  bool waitClosed() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(5), [this] { return closed; });
  }
};

std::pair<int, int> socketPair() {
  int fds[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  return {fds[0], fds[1]};
}

TEST(IpcConnectionTest, callsGetRepliesAndNotificationsDoNot) {
  auto [a, b] = socketPair();
  std::mutex mutex;
  std::vector<std::string> received;
  auto server = Connection::start(
      b, {[&](const std::string& method, const Json& args, Responder responder) {
            {
              std::lock_guard lock(mutex);
              received.push_back(method + (responder.wantsReply() ? " wants reply" : ""));
            }
            if (method == "echo") responder.reply(Json{{"echo", args}});
            if (method == "fail") responder.fail("refused");
            responder.reply(Json{{"second", true}});  // only the first answer counts
          },
          nullptr, nullptr, nullptr});
  auto client = Connection::start(a, {});

  client->notify("note", Json{{"x", 1}});
  Reply echoed = client->callAndWait("echo", Json{{"text", "é\"\\"}});
  ASSERT_TRUE(echoed.result) << test::errorText(echoed);
  EXPECT_EQ((*echoed.result)["echo"]["text"], "é\"\\");
  Reply failed = client->callAndWait("fail", Json::object());
  EXPECT_EQ(test::errorText(failed), "refused");
  EXPECT_FALSE(failed.result);

  std::lock_guard lock(mutex);
  EXPECT_EQ(received, (std::vector<std::string>{"note", "echo wants reply", "fail wants reply"}));
  client->close();
  server->close();
}

TEST(IpcConnectionTest, pendingCallsFailWhenThePeerGoesAway) {
  auto [a, b] = socketPair();
  Events events;
  auto client = Connection::start(a, events.handlers());
  std::promise<Reply> outcome;
  client->call("never.answered", Json::object(),
               [&](Reply reply) { outcome.set_value(std::move(reply)); });
  ::close(b);
  auto future = outcome.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  Reply closed = future.get();
  ASSERT_TRUE(closed.error);
  EXPECT_EQ(closed.error->kind, ErrorKind::ConnectionClosed);
  EXPECT_TRUE(events.waitClosed());
  EXPECT_TRUE(events.protocolErrors.empty());
  // Calls on a closed connection fail at once instead of hanging.
  Reply late = client->callAndWait("late", Json::object());
  ASSERT_TRUE(late.error);
  EXPECT_EQ(late.error->kind, ErrorKind::ConnectionClosed);
}

// Writes raw bytes to a connection and returns the protocol error it reported.
std::vector<std::string> protocolErrorsFor(const std::string& bytes, bool closeAfter) {
  auto [a, b] = socketPair();
  Events events;
  auto connection = Connection::start(b, events.handlers());
  EXPECT_EQ(::write(a, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  if (closeAfter) ::shutdown(a, SHUT_WR);
  EXPECT_TRUE(events.waitClosed());
  ::close(a);
  std::lock_guard lock(events.mutex);
  return events.protocolErrors;
}

std::string frame(const std::string& body) {
  std::string header(4, '\0');
  auto length = static_cast<std::uint32_t>(body.size());
  for (int i = 0; i < 4; ++i) header[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  return header + body;
}

TEST(IpcConnectionTest, malformedFramesEndTheConnectionWithAReason) {
  std::string oversized("\x01\x00\x00\x01", 4);  // 16 MiB + 1, checked before any body
  EXPECT_EQ(protocolErrorsFor(oversized, false).size(), 1u);
  EXPECT_EQ(protocolErrorsFor(frame("{not json"), false),
            std::vector<std::string>{"frame is not one JSON object"});
  EXPECT_EQ(protocolErrorsFor(frame("[1,2]"), false),
            std::vector<std::string>{"frame is not one JSON object"});
  EXPECT_EQ(protocolErrorsFor(frame(R"({"neither":1})"), false),
            std::vector<std::string>{"message is neither a call nor a reply"});
  EXPECT_EQ(protocolErrorsFor(frame(R"({"call":"x"})").substr(0, 9), true),
            std::vector<std::string>{"truncated message"});
}

// The next message that arrives on raw socket `fd`, within a few seconds.
std::optional<Json> readMessage(int fd, FrameDecoder& decoder) {
  for (int round = 0; round < 50; ++round) {
    if (std::optional<Incoming> incoming = decoder.next()) return incoming->message;
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 100) <= 0) continue;
    char chunk[4096];
    ssize_t count = ::read(fd, chunk, sizeof chunk);
    if (count <= 0 || !decoder.feed(chunk, static_cast<std::size_t>(count))) return std::nullopt;
  }
  return std::nullopt;
}

TEST(IpcConnectionTest, deeplyNestedCallsAreRefusedUnbuiltAndTheConnectionStays) {
  auto [a, b] = socketPair();
  std::atomic<int> handled{0};
  auto server = Connection::start(b, {[&](const std::string&, const Json&, Responder responder) {
                                        ++handled;
                                        responder.reply();
                                      },
                                      nullptr, nullptr, nullptr});
  // Hand-written, because building it as a Json value would itself recurse.
  const int depth = 200000;
  std::string args = std::string(depth, '[') + std::string(depth, ']');
  std::string bytes = frame(R"({"call":"deep","id":1,"args":{"x":)" + args + "}}") +
                      frame(R"({"call":"shallow","id":2,"args":{}})");
  ASSERT_EQ(::write(a, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  FrameDecoder decoder;
  std::optional<Json> refused = readMessage(a, decoder);
  std::optional<Json> answered = readMessage(a, decoder);
  ASSERT_TRUE(refused && answered);
  EXPECT_EQ(*refused, (Json{{"reply", 1}, {"error", "arguments nested too deeply"}}));
  EXPECT_EQ(*answered, (Json{{"reply", 2}, {"result", Json::object()}}));
  EXPECT_EQ(handled, 1) << "the deep call never reaches the handler";
  server->close();
  ::close(a);
}

TEST(FrameDecoderTest, reassemblesMessagesSplitAcrossReads) {
  std::string stream = frame(R"({"call":"a"})") + frame(R"({"reply":1,"result":{}})");
  FrameDecoder decoder;
  for (char byte : stream) ASSERT_TRUE(decoder.feed(&byte, 1));
  auto first = decoder.next();
  auto second = decoder.next();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->message["call"], "a");
  EXPECT_EQ(second->message["reply"], 1);
  EXPECT_FALSE(decoder.next());
  EXPECT_FALSE(decoder.hasPartialFrame());
  EXPECT_EQ(encodeFrame(Json{{"call", "a"}}), frame(R"({"call":"a"})"));
  EXPECT_FALSE(encodeFrame(Json{{"bad", "\xff"}}));
}

// The messages `stream` decodes to when it arrives in pieces of the given sizes (cycled);
// absent on a protocol error.
std::optional<std::vector<Json>> decodeInPieces(const std::string& stream,
                                                const std::vector<std::size_t>& sizes) {
  FrameDecoder decoder;
  std::vector<Json> messages;
  std::size_t offset = 0;
  for (std::size_t turn = 0; offset < stream.size(); ++turn) {
    std::size_t size = std::min(sizes[turn % sizes.size()], stream.size() - offset);
    if (!decoder.feed(stream.data() + offset, size)) return std::nullopt;
    offset += size;
    while (std::optional<Incoming> incoming = decoder.next()) {
      messages.push_back(std::move(incoming->message));
    }
  }
  if (decoder.hasPartialFrame()) return std::nullopt;
  return messages;
}

TEST(FrameDecoderTest, yieldsTheSameMessagesHoweverTheBytesAreCut) {
  std::string stream;
  for (int i = 0; i < 40; ++i) {
    stream += frame(Json{{"call", "m" + std::to_string(i)}, {"id", i + 1},
                         {"args", {{"text", std::string(i * 37, 'x') + "é[{\"}"}}}}
                        .dump());
  }
  std::optional<std::vector<Json>> whole = decodeInPieces(stream, {stream.size()});
  ASSERT_TRUE(whole);
  ASSERT_EQ(whole->size(), 40u);
  for (const std::vector<std::size_t>& sizes : std::vector<std::vector<std::size_t>>{
           {1}, {3}, {4}, {5, 1, 4096}, {2, 7, 11}, {65536}}) {
    EXPECT_EQ(decodeInPieces(stream, sizes), whole) << "cut into pieces of " << sizes[0];
  }
}

TEST(FrameDecoderTest, refusesNestingBelowTheEnvelopeDeeperThanTheLimitUnbuilt) {
  auto nested = [](std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  auto decodeOne = [](const std::string& body) {
    FrameDecoder decoder;
    std::string bytes = frame(body);
    EXPECT_TRUE(decoder.feed(bytes.data(), bytes.size()));
    return decoder.next();
  };
  std::optional<Incoming> deepest =
      decodeOne(R"({"call":"a","id":1,"args":{"x":)" + nested(maxJsonDepth - 1) + "}}");
  ASSERT_TRUE(deepest);
  EXPECT_FALSE(deepest->tooDeep) << "arguments may nest maxJsonDepth levels";
  EXPECT_TRUE(jsonDepthWithin(deepest->message["args"]));

  std::optional<Incoming> tooDeep =
      decodeOne(R"({"call":"a","id":7,"args":{"x":)" + nested(maxJsonDepth) + R"(},"n":2})");
  ASSERT_TRUE(tooDeep);
  EXPECT_TRUE(tooDeep->tooDeep);
  // What the receiver needs to answer is kept; the nested members are not built.
  EXPECT_EQ(tooDeep->message, (Json{{"call", "a"}, {"id", 7}, {"n", 2}}));

  // Brackets inside strings are text, not nesting.
  std::optional<Incoming> text =
      decodeOne(Json{{"call", "a"}, {"args", {{"x", nested(5000) + "\"\\"}}}}.dump());
  ASSERT_TRUE(text);
  EXPECT_FALSE(text->tooDeep);
}

}  // namespace
}  // namespace qv::ipc
