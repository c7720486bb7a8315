#include "ipc/Connection.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <future>

#include "ipc/Frame.h"
#include "platform/JsonFields.h"
#include "platform/linux/system/Trace.h"

namespace qv::ipc {
namespace {

constexpr const char* kClosed = "connection closed";

// Wraps `onReply` so that a result that does not match `method`'s declaration fails.
Connection::ReplyHandler checkingResult(const Method& method, Connection::ReplyHandler onReply) {
  return [&method, onReply = std::move(onReply)](Reply reply) {
    if (reply.result) {
      if (std::optional<Error> error =
              checkFields(*reply.result, method.result, ErrorKind::InvalidReply)) {
        error->message = std::string(method.name) + " reply: " + error->message;
        reply = Reply{std::nullopt, std::move(*error)};
      }
    }
    onReply(std::move(reply));
  };
}

// How long a call of `method` may wait for its answer when it carries its own time-out:
// that (checked before it is converted) plus a second.
std::optional<std::chrono::milliseconds> ownTimeout(const Method& method, const Json& args) {
  if (method.timeoutArg.empty()) return std::nullopt;
  std::optional<double> own = json::number(args, method.timeoutArg);
  if (!own) return std::nullopt;
  double limit = std::clamp(*own, 0.0, 7.0 * 24 * 3600 * 1000);
  return std::chrono::milliseconds(static_cast<std::int64_t>(limit)) + std::chrono::seconds(1);
}

// While tracing, a call carries the key of the message it serves.
Json traced(Json message) {
  if (trace::enabled()) {
    if (trace::Key key = trace::currentKey()) message["trace"] = key;
  }
  return message;
}

// The key a traced peer sent with a call; 0 when not tracing.
trace::Key keyOf(const Json& message) {
  if (!trace::enabled()) return 0;
  auto key = message.find("trace");
  return key != message.end() && key->is_number_unsigned() ? key->get<trace::Key>() : 0;
}

}  // namespace

struct Responder::State {
  std::weak_ptr<Connection> connection;
  std::int64_t id = 0;
  std::atomic<bool> answered{false};
};

void Responder::reply(const Json& result) const {
  if (!state_ || state_->answered.exchange(true)) return;
  if (auto connection = state_->connection.lock()) connection->sendReply(state_->id, result);
}

void Responder::fail(const std::string& error) const {
  if (!state_ || state_->answered.exchange(true)) return;
  if (auto connection = state_->connection.lock()) {
    connection->sendMessage(Json{{"reply", state_->id}, {"error", error}});
  }
}

Connection::Connection(int fd, Handlers handlers, Limits limits)
    : fd_(fd),
      handlers_(std::move(handlers)),
      limits_(limits),
      writer_(fd, limits.writer,
              [this](const std::string& why) {
                if (handlers_.onProtocolError)
                  handlers_.onProtocolError("the peer stalled: " + why);
                close();
              }),
      wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

std::shared_ptr<Connection> Connection::start(int fd, Handlers handlers) {
  return start(fd, std::move(handlers), Limits{});
}

std::shared_ptr<Connection> Connection::start(int fd, Handlers handlers, Limits limits) {
  std::shared_ptr<Connection> connection(new Connection(fd, std::move(handlers), limits));
  // The reader keeps the connection alive until it closes; owners end it with close().
  connection->reader_ = std::thread([self = connection] { self->readLoop(); });
  return connection;
}

Connection::~Connection() {
  close();
  if (reader_.joinable()) {
    if (reader_.get_id() == std::this_thread::get_id()) {
      reader_.detach();  // the reader itself dropped the last reference as it finished
    } else {
      reader_.join();
    }
  }
  writer_.stop();
  if (wakeFd_ >= 0) ::close(wakeFd_);
  ::close(fd_);
}

void Connection::notice(const std::string& description) const {
  if (handlers_.onNotice) handlers_.onNotice(description);
}

bool Connection::waitForInput() {
  for (;;) {
    int timeout = -1;
    {
      std::lock_guard lock(pendingMutex_);
      Clock::time_point now = Clock::now();
      // With no call waiting, a wake-up time still ahead is kept: a call made before it
      // comes need not wake the reader (a once-a-second call then wakes it once per
      // call time-out instead of once per call), and it costs one spare wake at most.
      if (!deadlines_.empty()) {
        readerWakesAt_ = deadlines_.begin()->first;
      } else if (readerWakesAt_ <= now) {
        readerWakesAt_ = Clock::time_point::max();
      }
      if (readerWakesAt_ != Clock::time_point::max()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(readerWakesAt_ - now);
        timeout = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT32_MAX));
      }
    }
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    int ready = ::poll(fds, wakeFd_ >= 0 ? 2 : 1, timeout);
    if (ready < 0 && errno != EINTR) return true;  // let read() report it
    if ((fds[1].revents & POLLIN) != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] ssize_t drained = ::read(wakeFd_, &count, sizeof count);
    }
    expireOverdue();
    if (fds[0].revents != 0) return true;
    if (!open_) return false;
  }
}

void Connection::expireOverdue() {
  std::vector<Pending> expired;
  {
    std::lock_guard lock(pendingMutex_);
    Clock::time_point now = Clock::now();
    while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
      auto it = pending_.find(deadlines_.begin()->second);
      deadlines_.erase(deadlines_.begin());
      if (it == pending_.end()) continue;
      expired.push_back(std::move(it->second));
      pending_.erase(it);
    }
  }
  for (Pending& call : expired) {
    std::string what = "the peer did not answer " + call.method + " in time";
    notice(what + "; a late answer will be ignored");
    call.onReply(Reply::failure(ErrorKind::TimedOut, what));
  }
}

void Connection::readLoop() {
  trace::nameThread("ipc reader");
  FrameDecoder decoder;
  char chunk[64 * 1024];
  std::string protocolError;
  while (open_ && waitForInput()) {
    ssize_t count = ::read(fd_, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      if (count == 0 && decoder.hasPartialFrame() && open_) protocolError = "truncated message";
      break;
    }
    if (!decoder.feed(chunk, static_cast<std::size_t>(count))) {
      protocolError = decoder.error();
      break;
    }
    while (open_) {
      std::optional<Incoming> incoming = decoder.next();
      if (!incoming) break;
      dispatch(std::move(incoming->message), incoming->tooDeep);
    }
  }
  if (!protocolError.empty() && handlers_.onProtocolError) handlers_.onProtocolError(protocolError);
  close();
  failPending();
  if (handlers_.onClose) handlers_.onClose();
}

void Connection::dispatch(Json message, bool tooDeep) {
  auto call = message.find("call");
  if (call != message.end() && call->is_string()) return dispatchCall(message, tooDeep);
  auto reply = message.find("reply");
  if (reply != message.end() && reply->is_number_integer()) {
    return dispatchReply(std::move(message), tooDeep);
  }
  if (handlers_.onProtocolError) handlers_.onProtocolError("message is neither a call nor a reply");
  close();
}

void Connection::dispatchCall(const Json& message, bool tooDeep) {
  const std::string& method = message["call"].get_ref<const std::string&>();
  Responder responder;
  auto id = message.find("id");
  if (id != message.end() && id->is_number_integer() && id->get<std::int64_t>() > 0) {
    responder.state_ = std::make_shared<Responder::State>();
    responder.state_->connection = weak_from_this();
    responder.state_->id = id->get<std::int64_t>();
  }
  if (tooDeep) {
    if (!responder.wantsReply()) notice(method + ": arguments nested too deeply");
    return responder.fail("arguments nested too deeply");
  }
  static const Json noArguments = Json::object();
  auto args = message.find("args");
  // Bind, never copy: the handler decides what it keeps.
  const Json& arguments = (args != message.end() && args->is_object()) ? *args : noArguments;
  if (!handlers_.onCall) return responder.fail("no handler");
  trace::Key key = keyOf(message);
  if (key == 0) return handlers_.onCall(method, arguments, responder);
  trace::KeyScope traceKey(key);
  trace::Clock::time_point begin = trace::Clock::now();
  handlers_.onCall(method, arguments, responder);
  trace::slice("read " + method, begin, key);
}

void Connection::dispatchReply(Json message, bool tooDeep) {
  std::int64_t id = message["reply"].get<std::int64_t>();
  std::optional<ReplyHandler> handler = takePending(id);
  if (!handler) {
    // A reply nobody waits for (any more) is dropped.
    if (tooDeep) notice("a reply nested too deeply");
    return;
  }
  if (tooDeep)
    return (*handler)(Reply::failure(ErrorKind::InvalidReply, "reply nested too deeply"));
  Reply outcome;
  auto error = message.find("error");
  if (error != message.end()) {
    outcome.error = Error{ErrorKind::Remote,
                          error->is_string() ? error->get<std::string>() : "malformed error"};
  } else {
    auto result = message.find("result");
    outcome.result = result != message.end() ? std::move(*result) : Json::object();
  }
  (*handler)(std::move(outcome));
}

bool Connection::sendMessage(const Json& message) {
  if (!open_) return false;
  EncodeFailure failure{};
  std::optional<std::string> frame = encodeFrame(message, &failure);
  if (!frame) {
    const Json* call = json::member(message, "call");
    notice((call != nullptr && call->is_string() ? call->get<std::string>() : "a message") +
           (failure == EncodeFailure::TooLarge ? " is too large to send" : " is not UTF-8 JSON") +
           "; not sent");
    return false;
  }
  if (writer_.send(std::move(*frame))) return true;
  close();
  return false;
}

void Connection::sendReply(std::int64_t id, const Json& result) {
  EncodeFailure failure{};
  std::optional<std::string> frame = encodeFrame(Json{{"reply", id}, {"result", result}}, &failure);
  if (!frame) {
    // The caller hears why instead of waiting for an answer that never comes.
    sendMessage(Json{{"reply", id},
                     {"error", failure == EncodeFailure::TooLarge ? "reply too large"
                                                                  : "reply is not UTF-8 JSON"}});
    return;
  }
  if (open_ && !writer_.send(std::move(*frame))) close();
}

std::optional<Connection::ReplyHandler> Connection::takePending(std::int64_t id) {
  std::lock_guard lock(pendingMutex_);
  auto it = pending_.find(id);
  if (it == pending_.end()) return std::nullopt;
  ReplyHandler handler = std::move(it->second.onReply);
  deadlines_.erase({it->second.deadline, id});
  pending_.erase(it);
  return handler;
}

void Connection::call(const std::string& method, const Json& args, ReplyHandler onReply,
                      std::optional<std::chrono::milliseconds> timeout) {
  std::int64_t id = nextId_++;
  Clock::time_point deadline = Clock::now() + timeout.value_or(limits_.callTimeout);
  bool earlier = false;
  {
    std::lock_guard lock(pendingMutex_);
    earlier = deadline < readerWakesAt_;
    pending_.emplace(id, Pending{std::move(onReply), method, deadline});
    deadlines_.emplace(deadline, id);
  }
  // The reader must wake by this call's deadline: tell it when it would wake later.
  if (earlier && wakeFd_ >= 0) {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(wakeFd_, &one, sizeof one);
  }
  if (!sendMessage(traced(Json{{"call", method}, {"args", args}, {"id", id}}))) {
    // Unless the reader has failed it already.
    if (std::optional<ReplyHandler> handler = takePending(id)) {
      (*handler)(Reply::failure(open_ ? ErrorKind::NotSent : ErrorKind::ConnectionClosed,
                                open_ ? method + " cannot be sent" : kClosed));
    }
  }
}

void Connection::call(const Method& method, const Json& args, ReplyHandler onReply) {
  if (std::optional<Error> error = checkFields(args, method.args)) {
    error->message = std::string(method.name) + ": " + error->message;
    return onReply(Reply{std::nullopt, std::move(*error)});
  }
  call(std::string(method.name), args, checkingResult(method, std::move(onReply)),
       ownTimeout(method, args));
}

bool Connection::notify(const std::string& method, const Json& args) {
  return sendMessage(traced(Json{{"call", method}, {"args", args}}));
}

bool Connection::notify(const Method& method, const Json& args) {
  if (checkFields(args, method.args)) return false;
  return notify(std::string(method.name), args);
}

namespace {

Reply waitFor(std::function<void(Connection::ReplyHandler)> start, const std::string& method,
              std::chrono::milliseconds timeout) {
  auto promise = std::make_shared<std::promise<Reply>>();
  std::future<Reply> future = promise->get_future();
  start([promise](Reply reply) { promise->set_value(std::move(reply)); });
  if (future.wait_for(timeout) != std::future_status::ready) {
    return Reply::failure(ErrorKind::TimedOut, "timed out waiting for " + method);
  }
  return future.get();
}

}  // namespace

Reply Connection::callAndWait(const std::string& method, const Json& args,
                              std::chrono::milliseconds timeout) {
  return waitFor([&](ReplyHandler done) { call(method, args, std::move(done), timeout); }, method,
                 timeout + std::chrono::seconds(1));
}

Reply Connection::callAndWait(const Method& method, const Json& args) {
  // The connection's deadline answers first; the wait is a second longer.
  return waitFor([&](ReplyHandler done) { call(method, args, std::move(done)); },
                 std::string(method.name),
                 ownTimeout(method, args).value_or(limits_.callTimeout) + std::chrono::seconds(1));
}

void Connection::close() {
  if (open_.exchange(false)) ::shutdown(fd_, SHUT_RDWR);
}

void Connection::failPending() {
  std::map<std::int64_t, Pending> pending;
  {
    std::lock_guard lock(pendingMutex_);
    pending.swap(pending_);
    deadlines_.clear();
  }
  for (auto& [id, call] : pending)
    call.onReply(Reply::failure(ErrorKind::ConnectionClosed, kClosed));
}

}  // namespace qv::ipc
