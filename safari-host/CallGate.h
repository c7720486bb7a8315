#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace qv::host {

// Lets one peer hand at most `limit` calls at a time to the main thread. Its reader
// thread waits for the calls it posted before it reads more, so a peer that floods
// calls slows only itself (its socket fills, and its own writes wait), while everyone
// else's calls queue behind at most `limit` of its own. Thread-safe.
class CallGate {
 public:
  explicit CallGate(std::size_t limit) : limit_(limit) {}

  // The reader thread, before posting a call: waits for room. False once closed.
  bool enter() {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [this] { return closed_ || inFlight_ < limit_; });
    if (closed_) return false;
    ++inFlight_;
    return true;
  }
  // The main thread, when a posted call has been handled (or dropped).
  void leave() {
    std::lock_guard lock(mutex_);
    if (inFlight_ > 0) --inFlight_;
    room_.notify_one();
  }
  // The peer is gone: nobody waits any more.
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    room_.notify_all();
  }

 private:
  const std::size_t limit_;
  std::mutex mutex_;
  std::condition_variable room_;
  std::size_t inFlight_ = 0;
  bool closed_ = false;
};

}  // namespace qv::host
