#include "ipc/Connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>

#include "ipc/Frame.h"

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

}  // namespace

struct Responder::State {
  std::weak_ptr<Connection> connection;
  std::int64_t id = 0;
  std::atomic<bool> answered{false};
};

void Responder::reply(const Json& result) const {
  if (!state_ || state_->answered.exchange(true)) return;
  if (auto connection = state_->connection.lock()) {
    connection->sendMessage(Json{{"reply", state_->id}, {"result", result}});
  }
}

void Responder::fail(const std::string& error) const {
  if (!state_ || state_->answered.exchange(true)) return;
  if (auto connection = state_->connection.lock()) {
    connection->sendMessage(Json{{"reply", state_->id}, {"error", error}});
  }
}

Connection::Connection(int fd, Handlers handlers) : fd_(fd), handlers_(std::move(handlers)) {}

std::shared_ptr<Connection> Connection::start(int fd, Handlers handlers) {
  std::shared_ptr<Connection> connection(new Connection(fd, std::move(handlers)));
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
  ::close(fd_);
}

void Connection::readLoop() {
  FrameDecoder decoder;
  char chunk[64 * 1024];
  std::string protocolError;
  while (open_) {
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
    if (!responder.wantsReply() && handlers_.onDropped) {
      handlers_.onDropped(method + ": arguments nested too deeply");
    }
    return responder.fail("arguments nested too deeply");
  }
  static const Json noArguments = Json::object();
  auto args = message.find("args");
  // Bind, never copy: the handler decides what it keeps.
  const Json& arguments = (args != message.end() && args->is_object()) ? *args : noArguments;
  if (handlers_.onCall) {
    handlers_.onCall(method, arguments, responder);
  } else {
    responder.fail("no handler");
  }
}

void Connection::dispatchReply(Json message, bool tooDeep) {
  std::int64_t id = message["reply"].get<std::int64_t>();
  std::optional<ReplyHandler> handler = takePending(id);
  if (!handler) {
    // A reply nobody waits for (any more) is dropped.
    if (tooDeep && handlers_.onDropped) handlers_.onDropped("a reply nested too deeply");
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
  std::optional<std::string> frame = encodeFrame(message);
  if (!frame) return false;
  std::lock_guard lock(writeMutex_);
  std::size_t sent = 0;
  while (sent < frame->size()) {
    ssize_t count = ::send(fd_, frame->data() + sent, frame->size() - sent, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      close();
      return false;
    }
    sent += static_cast<std::size_t>(count);
  }
  return true;
}

std::optional<Connection::ReplyHandler> Connection::takePending(std::int64_t id) {
  std::lock_guard lock(pendingMutex_);
  auto it = pending_.find(id);
  if (it == pending_.end()) return std::nullopt;
  ReplyHandler handler = std::move(it->second);
  pending_.erase(it);
  return handler;
}

void Connection::call(const std::string& method, const Json& args, ReplyHandler onReply) {
  std::int64_t id = nextId_++;
  {
    std::lock_guard lock(pendingMutex_);
    pending_.emplace(id, std::move(onReply));
  }
  if (!sendMessage(Json{{"call", method}, {"args", args}, {"id", id}})) {
    // Unless the reader has failed it already.
    if (std::optional<ReplyHandler> handler = takePending(id)) {
      (*handler)(Reply::failure(open_ ? ErrorKind::NotSent : ErrorKind::ConnectionClosed,
                                open_ ? "the call cannot be encoded" : kClosed));
    }
  }
}

void Connection::call(const Method& method, const Json& args, ReplyHandler onReply) {
  if (std::optional<Error> error = checkFields(args, method.args)) {
    error->message = std::string(method.name) + ": " + error->message;
    return onReply(Reply{std::nullopt, std::move(*error)});
  }
  call(std::string(method.name), args, checkingResult(method, std::move(onReply)));
}

bool Connection::notify(const std::string& method, const Json& args) {
  return sendMessage(Json{{"call", method}, {"args", args}});
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
  return waitFor([&](ReplyHandler done) { call(method, args, std::move(done)); }, method, timeout);
}

Reply Connection::callAndWait(const Method& method, const Json& args,
                              std::chrono::milliseconds timeout) {
  return waitFor([&](ReplyHandler done) { call(method, args, std::move(done)); },
                 std::string(method.name), timeout);
}

void Connection::close() {
  if (open_.exchange(false)) ::shutdown(fd_, SHUT_RDWR);
}

void Connection::failPending() {
  std::map<std::int64_t, ReplyHandler> pending;
  {
    std::lock_guard lock(pendingMutex_);
    pending.swap(pending_);
  }
  for (auto& [id, handler] : pending) handler(Reply::failure(ErrorKind::ConnectionClosed, kClosed));
}

}  // namespace qv::ipc
