#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "ipc/Error.h"
#include "ipc/Method.h"
#include "platform/Json.h"

namespace qv::ipc {

// Outcome of a call: a result object, or an error.
struct Reply {
  std::optional<Json> result;
  std::optional<Error> error;

  static Reply failure(ErrorKind kind, std::string message) {
    return Reply{std::nullopt, Error{kind, std::move(message)}};
  }
};

// Answers one incoming call. Copyable; only the first answer is sent, and none at all
// when the caller asked for no reply (no "id"). Any thread.
class Responder {
 public:
  Responder() = default;
  void reply(const Json& result = Json::object()) const;
  void fail(const std::string& error) const;
  void fail(const Error& error) const { fail(error.message); }
  bool wantsReply() const { return state_ != nullptr; }

 private:
  friend class Connection;
  struct State;
  std::shared_ptr<State> state_;
};

// A framed-JSON call/reply connection over a connected stream socket (see Frame.h).
//   call:  {"call": METHOD, "args": {...}, "id": N}   (id only when a reply is wanted)
//   reply: {"reply": N, "result": {...}} or {"reply": N, "error": "text"}
// A reader thread receives messages; every handler and reply callback runs on it.
// Protocol errors (oversized length, bytes that are not one JSON object of either
// shape, a truncated message) are reported to onProtocolError and close the
// connection. A message nested too deeply is refused without building it: a call with
// an id is answered with an error, a reply fails its call, anything else is dropped and
// reported to onDropped. Sending is thread-safe. The connection stays alive while it is
// open, even without owners: end it with close(), or it ends when the peer hangs up.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  struct Handlers {
    std::function<void(const std::string& method, const Json& args, Responder responder)> onCall;
    std::function<void(const std::string& description)> onProtocolError;
    std::function<void()> onClose;  // once, after the last handler
    std::function<void(const std::string& description)> onDropped;
  };
  using ReplyHandler = std::function<void(Reply)>;

  // Takes ownership of `fd` and starts reading. Never null.
  static std::shared_ptr<Connection> start(int fd, Handlers handlers);

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Calls a declared method. Arguments that do not match the declaration are not sent:
  // the call fails with InvalidArguments. A result that does not match fails it with
  // InvalidReply. `onReply` runs exactly once, on the reader thread (or on the caller's
  // thread when the call fails before it is sent).
  void call(const Method& method, const Json& args, ReplyHandler onReply);
  // Sends a declared method without an id: no reply comes back. False when it was not
  // sent whole (arguments that do not match, the connection closed, the peer gone, or
  // a message that cannot be encoded).
  bool notify(const Method& method, const Json& args);
  // Calls and waits up to `timeout` for the reply. Never call it on the reader thread.
  Reply callAndWait(const Method& method, const Json& args,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Any method by name, with nothing checked: for peers that relay or misbehave on
  // purpose (tests). The same contract as above otherwise.
  void call(const std::string& method, const Json& args, ReplyHandler onReply);
  bool notify(const std::string& method, const Json& args);
  Reply callAndWait(const std::string& method, const Json& args,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Shuts the socket down; pending calls fail with ConnectionClosed. Idempotent.
  void close();
  bool isOpen() const { return open_; }

 private:
  friend class Responder;
  Connection(int fd, Handlers handlers);
  void readLoop();
  void dispatch(Json message, bool tooDeep);
  void dispatchCall(const Json& message, bool tooDeep);
  void dispatchReply(Json message, bool tooDeep);
  bool sendMessage(const Json& message);
  std::optional<ReplyHandler> takePending(std::int64_t id);
  void failPending();

  int fd_;
  Handlers handlers_;
  std::atomic<bool> open_{true};
  std::atomic<std::int64_t> nextId_{1};
  std::mutex writeMutex_;
  std::mutex pendingMutex_;
  std::map<std::int64_t, ReplyHandler> pending_;
  std::thread reader_;
};

}  // namespace qv::ipc
