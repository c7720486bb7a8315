#pragma once

#include <memory>
#include <thread>

#include "platform/MainQueue.h"

typedef struct _GMainContext GMainContext;
typedef struct _GSource GSource;

namespace qv {

// MainQueue on GLib's default main context. All work of one queue (async, asyncAfter,
// repeating timers) is kept in one schedule ordered by (due time, submission order)
// and run by one GSource at G_PRIORITY_DEFAULT, while some thread iterates the context
// (GTK's main loop in production, g_main_context_iteration in tests). So due-time order
// holds even when the loop stalls and several items fall due together; one dispatch
// runs the items that were due when it started, and work submitted meanwhile waits for
// the next one. Work never runs on the submitting caller's stack.
//
// The main thread is the thread that owns the context while it is being iterated, and
// otherwise the thread that constructed this object (unless another thread owns the
// context at the time): construct it on the thread that will run the main loop.
//
// Destroying the queue drops work not yet run (the item running then finishes).
class GlibMainQueue final : public MainQueue {
 public:
  GlibMainQueue();
  ~GlibMainQueue() override;
  GlibMainQueue(const GlibMainQueue&) = delete;
  GlibMainQueue& operator=(const GlibMainQueue&) = delete;

  void async(Work work) override;
  void asyncAfter(Duration delay, Work work) override;
  // A timer that falls behind skips the missed ticks rather than running them back to
  // back. The handle may cancel from any thread; cancelled from the main thread (or
  // from `work` itself), `work` does not run again. The handle may outlive the queue.
  std::unique_ptr<TimerHandle> scheduleRepeating(Duration interval, Work work) override;
  bool isMainThread() const override;

 private:
  struct Schedule;

  GMainContext* context_;  // a reference of our own
  std::shared_ptr<Schedule> schedule_;
  GSource* source_;  // a reference of our own; runs schedule_
  std::thread::id homeThread_;
};

}  // namespace qv
