#include <gtest/gtest.h>
#include <sys/socket.h>

#include <future>
#include <set>
#include <string>
#include <vector>

#include "ipc/Dispatcher.h"
#include "ipc/Protocol.h"
#include "tests/support/IpcText.h"

namespace qv::ipc {
namespace {

constexpr Field kGreetArgs[] = {{"name", Type::String},
                                {"times", Type::Integer, true},
                                {"window", Type::Ref},
                                {"payload", Type::Any}};
constexpr Field kGreetResult[] = {{"text", Type::String}};
constexpr Method greet{"test.greet", kGreetArgs, kGreetResult};
constexpr Method note{"test.note", {}, {}, false};
constexpr const Method* kMethods[] = {&greet, &note};

std::optional<std::string> check(const Json& args) {
  std::optional<Error> error = checkFields(args, greet.args);
  if (!error) return std::nullopt;
  EXPECT_EQ(error->kind, ErrorKind::InvalidArguments);
  return error->message;
}

TEST(DeclaredArgumentsTest, nameTheFirstMemberThatIsMissingOrOfTheWrongType) {
  EXPECT_EQ(check(Json{{"name", "a"}, {"payload", 1}}), std::nullopt);
  EXPECT_EQ(check(Json{{"payload", 1}}), "name must be a string");
  EXPECT_EQ(check(Json{{"name", 5}, {"payload", 1}}), "name must be a string");
  EXPECT_EQ(check(Json{{"name", nullptr}, {"payload", 1}}), "name must be a string");
  // Optional members may be missing or null, but not of another type.
  EXPECT_EQ(check(Json{{"name", "a"}, {"times", nullptr}, {"payload", 1}}), std::nullopt);
  EXPECT_EQ(check(Json{{"name", "a"}, {"times", 1.5}, {"payload", 1}}),
            "times must be an integer or null");
  // A reference is never refused: what is not one names nothing.
  EXPECT_EQ(check(Json{{"name", "a"}, {"window", 5}, {"payload", 1}}), std::nullopt);
  // "Any" takes null as a value, but must be there.
  EXPECT_EQ(check(Json{{"name", "a"}, {"payload", nullptr}}), std::nullopt);
  EXPECT_EQ(check(Json{{"name", "a"}}), "payload must be a value");
  EXPECT_TRUE(check(Json::array()));
}

TEST(ProtocolTablesTest, declareEachMethodOnceWithRepliesOnlyWhereOneIsWanted) {
  for (MethodTable table : {MethodTable(handler::methods), MethodTable(browser::methods),
                            MethodTable(control::methods)}) {
    std::set<std::string_view> names;
    for (const Method* method : table) {
      EXPECT_TRUE(names.insert(method->name).second) << method->name << " twice";
      EXPECT_EQ(findMethod(table, method->name), method);
      if (!method->wantsReply) {
        EXPECT_TRUE(method->result.empty()) << method->name;
      }
      EXPECT_EQ(method->automationOnly, method->name.starts_with("automation."))
          << method->name;
    }
  }
  EXPECT_EQ(findMethod(control::methods, "handler.messageReceived"), nullptr);
  for (const Method* method : control::methods) {
    EXPECT_TRUE(method->wantsReply) << method->name;
  }
}

// Two connected ends: `client` calls, `server` answers through `dispatcher`.
struct Pair {
  explicit Pair(const Dispatcher& dispatcher) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    server = Connection::start(
        fds[1], {[&dispatcher](const std::string& method, const Json& args, Responder responder) {
                   dispatcher.dispatch(method, args, responder);
                 },
                 nullptr, nullptr, nullptr});
    client = Connection::start(fds[0], {});
  }
  ~Pair() {
    client->close();
    server->close();
  }
  std::shared_ptr<Connection> server;
  std::shared_ptr<Connection> client;
};

TEST(DispatcherTest, routesDeclaredCallsAndAnswersEverythingElseWithOneError) {
  std::vector<std::string> rejected;
  std::mutex mutex;
  Dispatcher dispatcher(kMethods, [&](const std::string& method, const Error& error) {
    std::lock_guard lock(mutex);
    rejected.push_back(method + ": " + error.message);
  });
  std::promise<Json> noted;
  dispatcher.on(greet, [](const Json& args, const Responder& responder) {
    responder.reply(Json{{"text", "hello " + args["name"].get<std::string>()}});
  });
  EXPECT_EQ(dispatcher.unhandled(), std::vector<std::string_view>{"test.note"});
  Pair pair(dispatcher);

  Reply hello = pair.client->callAndWait(greet, Json{{"name", "ann"}, {"payload", nullptr}});
  ASSERT_TRUE(hello.result) << test::errorText(hello);
  EXPECT_EQ((*hello.result)["text"], "hello ann");

  // Refused by the peer: an unknown method, one without a handler, bad arguments.
  EXPECT_EQ(test::errorText(pair.client->callAndWait("test.nothing", Json::object())),
            "unknown method: test.nothing");
  EXPECT_EQ(test::errorText(pair.client->callAndWait("test.note", Json::object())),
            "unknown method: test.note");
  Reply bad = pair.client->callAndWait("test.greet", Json{{"name", 1}, {"payload", 0}});
  ASSERT_TRUE(bad.error);
  EXPECT_EQ(bad.error->kind, ErrorKind::Remote) << "the peer's refusal arrives as its text";
  EXPECT_EQ(bad.error->message, "name must be a string");
  std::lock_guard lock(mutex);
  EXPECT_EQ(rejected, (std::vector<std::string>{"test.nothing: unknown method: test.nothing",
                                                "test.note: unknown method: test.note",
                                                "test.greet: name must be a string"}));
}

TEST(DispatcherTest, declaredCallsCheckTheirOwnArgumentsAndTheShapeOfTheReply) {
  Dispatcher dispatcher(kMethods);
  std::atomic<int> reached{0};
  dispatcher.on(greet, [&](const Json& args, const Responder& responder) {
    ++reached;
    // Answers of the wrong shape, on request.
    if (args["name"] == "wrong") return responder.reply(Json{{"text", 5}});
    responder.reply(Json{{"text", "fine"}});
  });
  Pair pair(dispatcher);

  // Arguments that do not match are never sent.
  Reply unsent = pair.client->callAndWait(greet, Json{{"payload", 1}});
  ASSERT_TRUE(unsent.error);
  EXPECT_EQ(unsent.error->kind, ErrorKind::InvalidArguments);
  EXPECT_EQ(unsent.error->message, "test.greet: name must be a string");
  EXPECT_FALSE(pair.client->notify(greet, Json{{"payload", 1}}));
  EXPECT_EQ(reached, 0);

  Reply wrong = pair.client->callAndWait(greet, Json{{"name", "wrong"}, {"payload", 1}});
  ASSERT_TRUE(wrong.error);
  EXPECT_EQ(wrong.error->kind, ErrorKind::InvalidReply);
  EXPECT_EQ(wrong.error->message, "test.greet reply: text must be a string");
  EXPECT_EQ(reached, 1);
}

}  // namespace
}  // namespace qv::ipc
