#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace qv::ipc {

// Writes frames to a stream socket without ever blocking the thread that sends them:
// what the socket takes now is written at once (no thread hop on the fast path), the
// rest waits in a bounded queue that a thread of its own, started when first needed,
// writes as the peer reads. A peer that lets the queue overflow, or takes nothing of it
// for `stallTimeout`, is stalled: `onStall` runs once (on the sender's thread or the
// writer's), and the writer stops. Frames go out whole and in the order sent. Any thread.
class FrameWriter {
 public:
  struct Limits {
    std::size_t maxQueuedBytes = 64 * 1024 * 1024;
    std::chrono::milliseconds stallTimeout = std::chrono::seconds(10);
  };

  // Does not own `fd`, which must outlive the writer.
  FrameWriter(int fd, Limits limits, std::function<void(const std::string& why)> onStall);
  // Stops the thread; frames still queued are dropped. Shut the socket down first when
  // the writer may be waiting for the peer.
  ~FrameWriter();
  FrameWriter(const FrameWriter&) = delete;
  FrameWriter& operator=(const FrameWriter&) = delete;

  // Sends `frame` after every frame sent before it. False when it was not taken: the
  // writer has stopped, the socket failed, or the frame would overflow the queue (the
  // peer is then stalled).
  bool send(std::string frame);
  // Drops what is queued and stops, waiting for the thread (unless called on it); later
  // sends return false. Idempotent.
  void stop();

 private:
  // Writes from the front of the queue while the socket takes it. Caller holds mutex_.
  // False when the socket failed.
  bool flushLocked();
  void writeLoop();
  void stall(std::unique_lock<std::mutex>& lock, const std::string& why);

  const int fd_;
  const Limits limits_;
  std::function<void(const std::string&)> onStall_;
  std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<std::string> queue_;  // guarded by mutex_
  std::size_t frontOffset_ = 0;    // bytes of queue_.front() already written
  std::size_t queuedBytes_ = 0;
  bool stopped_ = false;
  std::thread thread_;
};

}  // namespace qv::ipc
