#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace qv {

// Cancels a repeating timer when destroyed (or when cancel() is called first).
class TimerHandle {
 public:
  virtual ~TimerHandle() = default;
  virtual void cancel() = 0;
};

// The process's main queue: the thread that owns user-interface and web-view state.
// Production runs it on the GLib main context; tests drain a manual queue.
// Every method may be called from any thread. Work runs on the main thread, in the
// order it was submitted (for equal due times).
class MainQueue {
 public:
  using Work = std::function<void()>;
  using Duration = std::chrono::milliseconds;

  virtual ~MainQueue() = default;

  virtual void async(Work work) = 0;
  virtual void asyncAfter(Duration delay, Work work) = 0;
  // Runs `work` every `interval`, first after one interval, until the handle dies.
  // Must be called on the main thread.
  virtual std::unique_ptr<TimerHandle> scheduleRepeating(Duration interval, Work work) = 0;
  virtual bool isMainThread() const = 0;
};

}  // namespace qv
