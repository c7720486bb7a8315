#include "platform/linux/IpcConnection.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>

namespace qv::ipc {

std::optional<std::string> encodeFrame(const Json& message) {
  std::string body;
  try {
    body = message.dump();
  } catch (const Json::exception&) {
    return std::nullopt;
  }
  if (body.size() > maxMessageSize) return std::nullopt;
  auto length = static_cast<std::uint32_t>(body.size());
  std::string frame(4, '\0');
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  return frame + body;
}

bool FrameDecoder::feed(const char* data, std::size_t size) {
  if (!error_.empty()) return false;
  buffer_.append(data, size);
  std::size_t offset = 0;
  while (buffer_.size() - offset >= 4) {
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i) {
      length |= static_cast<std::uint32_t>(static_cast<unsigned char>(buffer_[offset + i]))
                << (8 * i);
    }
    if (length > maxMessageSize) {
      error_ = "frame length " + std::to_string(length) + " exceeds the limit";
      return false;
    }
    if (buffer_.size() - offset - 4 < length) break;
    Json message = Json::parse(buffer_.begin() + static_cast<std::ptrdiff_t>(offset + 4),
                               buffer_.begin() + static_cast<std::ptrdiff_t>(offset + 4 + length),
                               nullptr, /*allow_exceptions=*/false);
    if (message.is_discarded() || !message.is_object()) {
      error_ = "frame is not one JSON object";
      return false;
    }
    queue_.push_back(std::move(message));
    offset += 4 + length;
  }
  buffer_.erase(0, offset);
  return true;
}

std::optional<Json> FrameDecoder::next() {
  if (queueHead_ == queue_.size()) {
    queue_.clear();
    queueHead_ = 0;
    return std::nullopt;
  }
  return std::move(queue_[queueHead_++]);
}

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

std::shared_ptr<Connection> Connection::connectUnix(const std::string& path, Handlers handlers) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return nullptr;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return nullptr;
  }
  return start(fd, std::move(handlers));
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
      std::optional<Json> message = decoder.next();
      if (!message) break;
      dispatch(std::move(*message));
    }
  }
  if (!protocolError.empty() && handlers_.onProtocolError) handlers_.onProtocolError(protocolError);
  close();
  failPending();
  if (handlers_.onClose) handlers_.onClose();
}

void Connection::dispatch(Json message) {
  auto call = message.find("call");
  if (call != message.end() && call->is_string()) {
    Responder responder;
    auto id = message.find("id");
    if (id != message.end() && id->is_number_integer() && id->get<std::int64_t>() > 0) {
      responder.state_ = std::make_shared<Responder::State>();
      responder.state_->connection = weak_from_this();
      responder.state_->id = id->get<std::int64_t>();
    }
    static const Json noArguments = Json::object();
    auto args = message.find("args");
    // Bind, never copy: copying recurses once per nesting level of a hostile message.
    const Json& arguments = (args != message.end() && args->is_object()) ? *args : noArguments;
    if (handlers_.onCall) {
      handlers_.onCall(call->get<std::string>(), arguments, responder);
    } else {
      responder.fail("no handler");
    }
    return;
  }
  auto reply = message.find("reply");
  if (reply != message.end() && reply->is_number_integer()) {
    ReplyHandler handler;
    {
      std::lock_guard lock(pendingMutex_);
      auto it = pending_.find(reply->get<std::int64_t>());
      if (it == pending_.end()) return;  // a reply nobody waits for is dropped
      handler = std::move(it->second);
      pending_.erase(it);
    }
    Reply outcome;
    auto error = message.find("error");
    if (error != message.end()) {
      outcome.error = error->is_string() ? error->get<std::string>() : "malformed error";
    } else {
      auto result = message.find("result");
      outcome.result = result != message.end() ? std::move(*result) : Json::object();
    }
    handler(std::move(outcome));
    return;
  }
  if (handlers_.onProtocolError) handlers_.onProtocolError("message is neither a call nor a reply");
  close();
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

void Connection::call(const std::string& method, const Json& args, ReplyHandler onReply) {
  std::int64_t id = nextId_++;
  {
    std::lock_guard lock(pendingMutex_);
    pending_.emplace(id, std::move(onReply));
  }
  if (!sendMessage(Json{{"call", method}, {"args", args}, {"id", id}})) {
    ReplyHandler handler;
    {
      std::lock_guard lock(pendingMutex_);
      auto it = pending_.find(id);
      if (it == pending_.end()) return;  // the reader already failed it
      handler = std::move(it->second);
      pending_.erase(it);
    }
    handler(Reply{std::nullopt, "connection closed"});
  }
}

bool Connection::notify(const std::string& method, const Json& args) {
  return sendMessage(Json{{"call", method}, {"args", args}});
}

Reply Connection::callAndWait(const std::string& method, const Json& args,
                              std::chrono::milliseconds timeout) {
  auto promise = std::make_shared<std::promise<Reply>>();
  std::future<Reply> future = promise->get_future();
  call(method, args, [promise](Reply reply) { promise->set_value(std::move(reply)); });
  if (future.wait_for(timeout) != std::future_status::ready) {
    return Reply{std::nullopt, "timed out waiting for " + method};
  }
  return future.get();
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
  for (auto& [id, handler] : pending) handler(Reply{std::nullopt, "connection closed"});
}

}  // namespace qv::ipc
