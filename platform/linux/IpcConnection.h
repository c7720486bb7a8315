#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Json.h"

namespace qv::ipc {

// Messages travel as frames: a 4-byte unsigned little-endian length, then that many
// bytes of UTF-8 JSON holding one object.
inline constexpr std::uint32_t maxMessageSize = 16 * 1024 * 1024;

// One frame for `message`; absent when the JSON is not valid UTF-8 or too large.
std::optional<std::string> encodeFrame(const Json& message);

// Splits a byte stream into messages. Checks each length before it reads the body.
class FrameDecoder {
 public:
  // Appends bytes. False on a protocol error (see error()); the decoder is then dead.
  bool feed(const char* data, std::size_t size);
  // The next complete message, if one has arrived.
  std::optional<Json> next();
  // True when a frame has started but not finished (a truncated message at EOF).
  bool hasPartialFrame() const { return !buffer_.empty(); }
  const std::string& error() const { return error_; }

 private:
  std::string buffer_;  // bytes of the frame that has not finished yet
  std::vector<Json> queue_;
  std::size_t queueHead_ = 0;
  std::string error_;
};

// Outcome of a call: a result object, or an error text (also when the connection
// closed before the reply came).
struct Reply {
  std::optional<Json> result;
  std::optional<std::string> error;
};

// Answers one incoming call. Copyable; only the first reply is sent, and none at all
// when the caller asked for no reply (no "id"). Any thread.
class Responder {
 public:
  Responder() = default;
  void reply(const Json& result = Json::object()) const;
  void fail(const std::string& error) const;
  bool wantsReply() const { return state_ != nullptr; }

 private:
  friend class Connection;
  struct State;
  std::shared_ptr<State> state_;
};

// A framed-JSON call/reply connection over a connected stream socket.
//   call:  {"call": METHOD, "args": {...}, "id": N}   (id only when a reply is wanted)
//   reply: {"reply": N, "result": {...}} or {"reply": N, "error": "text"}
// A reader thread receives messages; every handler and reply callback runs on it.
// Protocol errors (oversized length, bytes that are not one JSON object of either
// shape, a truncated message) are reported to onProtocolError and close the
// connection. Sending is thread-safe. The connection stays alive while it is open,
// even without owners: end it with close(), or it ends when the peer hangs up.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  struct Handlers {
    std::function<void(const std::string& method, const Json& args, Responder responder)> onCall;
    std::function<void(const std::string& description)> onProtocolError;
    std::function<void()> onClose;  // once, after the last handler
  };
  using ReplyHandler = std::function<void(Reply)>;

  // Takes ownership of `fd` and starts reading. Never null.
  static std::shared_ptr<Connection> start(int fd, Handlers handlers);
  // Connects to a Unix socket path; null when nothing listens there.
  static std::shared_ptr<Connection> connectUnix(const std::string& path, Handlers handlers);

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends a call that wants a reply; `onReply` runs exactly once on the reader thread
  // (or on the caller's thread when the connection is already closed).
  void call(const std::string& method, const Json& args, ReplyHandler onReply);
  // Sends a call without an id: no reply comes back. False when it could not be written
  // whole (the connection is closed, or the peer has gone), or cannot be encoded.
  bool notify(const std::string& method, const Json& args);
  // Calls and waits up to `timeout` for the reply. Never call it on the reader thread.
  Reply callAndWait(const std::string& method, const Json& args,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Shuts the socket down; pending calls fail with "connection closed". Idempotent.
  void close();
  bool isOpen() const { return open_; }

 private:
  friend class Responder;
  Connection(int fd, Handlers handlers);
  void readLoop();
  void dispatch(Json message);
  bool sendMessage(const Json& message);
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
