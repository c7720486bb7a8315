#include "ipc/FrameWriter.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace qv::ipc {

FrameWriter::FrameWriter(int fd, Limits limits, std::function<void(const std::string&)> onStall)
    : fd_(fd), limits_(limits), onStall_(std::move(onStall)) {}

FrameWriter::~FrameWriter() {
  stop();
}

void FrameWriter::stop() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    queue_.clear();
    queuedBytes_ = 0;
    queued_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
      thread = std::move(thread_);
    }
  }
  if (thread.joinable()) thread.join();
}

bool FrameWriter::flushLocked() {
  while (!queue_.empty()) {
    const std::string& front = queue_.front();
    ssize_t count = ::send(fd_, front.data() + frontOffset_, front.size() - frontOffset_,
                           MSG_DONTWAIT | MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (count <= 0) return false;
    frontOffset_ += static_cast<std::size_t>(count);
    queuedBytes_ -= static_cast<std::size_t>(count);
    if (frontOffset_ == front.size()) {
      queue_.pop_front();
      frontOffset_ = 0;
    }
  }
  return true;
}

bool FrameWriter::send(std::string frame) {
  std::unique_lock lock(mutex_);
  if (stopped_) return false;
  if (queuedBytes_ + frame.size() > limits_.maxQueuedBytes) {
    stall(lock, "it stopped reading: " + std::to_string(queuedBytes_) +
                    " bytes wait for it, and more would exceed the limit");
    return false;
  }
  queuedBytes_ += frame.size();
  queue_.push_back(std::move(frame));
  // Only the frame just queued can be unwritten when the queue was empty before.
  if (queue_.size() == 1 && !flushLocked()) {
    stopped_ = true;
    return false;
  }
  if (!queue_.empty()) {
    if (!thread_.joinable()) thread_ = std::thread([this] { writeLoop(); });
    queued_.notify_one();
  }
  return true;
}

void FrameWriter::stall(std::unique_lock<std::mutex>& lock, const std::string& why) {
  stopped_ = true;
  queue_.clear();
  queuedBytes_ = 0;
  auto report = std::move(onStall_);
  onStall_ = nullptr;
  lock.unlock();
  if (report) report(why);
  lock.lock();
}

void FrameWriter::writeLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    queued_.wait(lock, [this] { return stopped_ || !queue_.empty(); });
    if (stopped_) return;
    lock.unlock();
    pollfd writable{fd_, POLLOUT, 0};
    int ready = 0;
    do {
      ready = ::poll(&writable, 1, static_cast<int>(limits_.stallTimeout.count()));
    } while (ready < 0 && errno == EINTR);
    lock.lock();
    if (stopped_) return;
    if (ready == 0) {
      stall(lock, "it read nothing of what waits for it for " +
                      std::to_string(limits_.stallTimeout.count() / 1000) + " s");
      return;
    }
    if ((writable.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 || !flushLocked()) {
      stopped_ = true;  // the connection is going; its reader reports the close
      return;
    }
  }
}

}  // namespace qv::ipc
