#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "ipc/Error.h"
#include "ipc/FrameWriter.h"
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
//
// Faults, none of which ever blocks a sender or loses a frame without a word:
// - Protocol errors (an oversized length, bytes that are not one JSON object of either
//   shape, a truncated message) and a peer that stops reading (see FrameWriter) are
//   reported to onProtocolError and close the connection.
// - A message nested too deeply is refused without building it: a call with an id is
//   answered with an error, a reply fails its call, anything else is dropped.
// - A call with an id not answered within its time limit (limits.callTimeout, or the
//   call's own time-out plus a second, see Method::timeoutArg) fails with TimedOut; a
//   late reply is ignored.
// - A reply too large for a frame is sent as the error "reply too large"; a call or
//   notification that cannot be framed is not sent.
// Dropped messages, time-outs and unsendable ones are reported to onNotice, once each.
//
// Sending is thread-safe. The connection stays alive while it is open, even without
// owners: end it with close(), or it ends when the peer hangs up.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  struct Handlers {
    std::function<void(const std::string& method, const Json& args, Responder responder)> onCall;
    std::function<void(const std::string& description)> onProtocolError;
    std::function<void()> onClose;  // once, after the last handler
    std::function<void(const std::string& description)> onNotice;
  };
  struct Limits {
    std::chrono::milliseconds callTimeout = std::chrono::seconds(10);
    FrameWriter::Limits writer;
  };
  using ReplyHandler = std::function<void(Reply)>;

  // Takes ownership of `fd` and starts reading. Never null.
  static std::shared_ptr<Connection> start(int fd, Handlers handlers);
  static std::shared_ptr<Connection> start(int fd, Handlers handlers, Limits limits);

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Calls a declared method. Arguments that do not match the declaration are not sent:
  // the call fails with InvalidArguments. A result that does not match fails it with
  // InvalidReply. `onReply` runs exactly once, on the reader thread (or on the caller's
  // thread when the call fails before it is sent).
  void call(const Method& method, const Json& args, ReplyHandler onReply);
  // Sends a declared method without an id: no reply comes back. False when it was not
  // sent (arguments that do not match, the connection closed, the peer gone, or a
  // message that cannot be framed).
  bool notify(const Method& method, const Json& args);
  // Calls and waits for the reply. Never call it on the reader thread.
  Reply callAndWait(const Method& method, const Json& args);

  // Any method by name, with nothing checked: for peers that relay or misbehave on
  // purpose (tests). The same contract as above otherwise; `timeout` replaces the
  // connection's call time limit.
  void call(const std::string& method, const Json& args, ReplyHandler onReply,
            std::optional<std::chrono::milliseconds> timeout = std::nullopt);
  bool notify(const std::string& method, const Json& args);
  Reply callAndWait(const std::string& method, const Json& args,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Shuts the socket down; pending calls fail with ConnectionClosed. Idempotent.
  void close();
  bool isOpen() const { return open_; }

 private:
  friend class Responder;
  using Clock = std::chrono::steady_clock;
  struct Pending {
    ReplyHandler onReply;
    std::string method;
    Clock::time_point deadline;
  };

  Connection(int fd, Handlers handlers, Limits limits);
  void readLoop();
  // Waits until the socket is readable or the earliest deadline passes.
  bool waitForInput();
  void expireOverdue();
  void dispatch(Json message, bool tooDeep);
  void dispatchCall(const Json& message, bool tooDeep);
  void dispatchReply(Json message, bool tooDeep);
  // Frames and sends; false (reported to onNotice) when it cannot.
  bool sendMessage(const Json& message);
  void sendReply(std::int64_t id, const Json& result);
  void notice(const std::string& description) const;
  std::optional<ReplyHandler> takePending(std::int64_t id);
  void failPending();

  const int fd_;
  Handlers handlers_;
  const Limits limits_;
  std::atomic<bool> open_{true};
  std::atomic<std::int64_t> nextId_{1};
  FrameWriter writer_;
  int wakeFd_ = -1;  // an eventfd: a call with an earlier deadline than the reader waits for
  std::mutex pendingMutex_;
  std::map<std::int64_t, Pending> pending_;
  std::set<std::pair<Clock::time_point, std::int64_t>> deadlines_;  // of pending_
  // When the reader wakes next without input (max: never). Guarded by pendingMutex_.
  Clock::time_point readerWakesAt_ = Clock::time_point::max();
  std::thread reader_;
};

}  // namespace qv::ipc
