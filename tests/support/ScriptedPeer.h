#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ipc/Connection.h"
#include "platform/Json.h"
#include "tests/support/SocketPair.h"

namespace qv::test {

// One call a peer received.
struct ReceivedCall {
  std::string method;
  Json args;
  bool wantsReply = false;
};

// The far end of an ipc::Connection, played by a test: safari-host for the extension
// process, safari-host's control socket for the companion, safari-host again for the
// extension's call router. It serves connections it is given (serve) and ones it accepts
// (listen), records every call it receives, and answers calls that want a reply from a
// script of rules: for the newest rule of the call's method whose `when` holds, a
// result, an error text or nothing at all. A call no rule answers gets one error,
// unscriptedError(method). Calls without an id are recorded, never answered.
//
// Thread-safe. Rules, `when` predicates and the observer run on connection reader
// threads, outside the peer's lock; they may use the peer, but must not wait on a reply
// of the same connection.
class ScriptedPeer {
 public:
  // What a rule sends back.
  struct Answer {
    std::optional<Json> result;
    std::optional<std::string> error;
    bool silent = false;

    static Answer with(Json result) { return Answer{std::move(result), std::nullopt, false}; }
    static Answer failure(std::string error) {
      return Answer{std::nullopt, std::move(error), false};
    }
    static Answer none() { return Answer{std::nullopt, std::nullopt, true}; }
  };
  using Match = std::function<bool(const Json& args)>;
  using Respond = std::function<Answer(const ReceivedCall& call)>;
  using Observer = std::function<void(const ReceivedCall& call)>;
  using CallsDone = std::function<bool(const std::vector<ReceivedCall>& calls)>;

  static std::string unscriptedError(const std::string& method);
  // A `when` for rules and waits: the argument `key` equals `value`.
  static Match argIs(std::string key, Json value);

  ScriptedPeer();
  // Listens at `path` at once (see listen()).
  explicit ScriptedPeer(const std::string& listenPath);
  // Stops listening (removing the socket file), hangs up every connection and waits,
  // bounded, for their handlers to finish.
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  // The script. A later rule for a method takes over from earlier ones where its `when`
  // holds (always, without one).
  void answer(const std::string& method, Json result, Match when = nullptr);
  void fail(const std::string& method, std::string error, Match when = nullptr);
  void ignore(const std::string& method, Match when = nullptr);
  void respond(const std::string& method, Respond respond, Match when = nullptr);

  // Sees every call as it arrives, before it is recorded or answered.
  void observe(Observer observer);
  // Off: calls are no longer recorded (for long benchmark runs).
  void setRecording(bool record);

  // Serves the connection on `fd`.
  void serve(UniqueFd fd);
  // Accepts connections on a Unix socket at `path`, making its folder (mode 0700) and
  // replacing a stale socket file; false when it cannot. Once per peer.
  bool listen(const std::string& path);
  bool listening() const;

  // The connection served last; null before the first. For the test's own calls and
  // notifications (by name, unchecked), and for hanging up.
  std::shared_ptr<ipc::Connection> connection() const;
  // Calls on connection() and waits for the reply. Never from a rule or the observer.
  ipc::Reply call(const std::string& method, const Json& args = Json::object(),
                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  bool notify(const std::string& method, const Json& args = Json::object()) const;
  // Hangs up every connection.
  void close();

  std::vector<ReceivedCall> calls() const;
  std::vector<ReceivedCall> callsOf(const std::string& method) const;
  // The first call of `method` for which `when` holds (any, without one), waiting for it.
  std::optional<ReceivedCall> waitForCall(
      const std::string& method, const Match& when = nullptr,
      std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
  // True once `done(calls so far)` holds; false after `timeout`.
  bool waitForCalls(const CallsDone& done,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
  // True once every connection served so far has closed (at least one was served).
  bool waitForClose(std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

 private:
  struct State;
  void acceptLoop();

  std::shared_ptr<State> state_;
  std::string path_;
  UniqueFd listenFd_;
  UniqueFd wakeRead_;
  UniqueFd wakeWrite_;
  std::thread acceptor_;
};

}  // namespace qv::test
