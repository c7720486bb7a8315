#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>

#include "platform/Clock.h"
#include "platform/MainQueue.h"

namespace qv::testing {

// A clock that moves only when a test moves it. Thread-safe.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(Date start = Date{1'700'000'000.0}) : now_(start.secondsSince1970) {}

  Date now() const override { return Date{now_.load()}; }
  void set(Date date) { now_ = date.secondsSince1970; }
  void advance(double seconds) { now_ = now_.load() + seconds; }

 private:
  std::atomic<double> now_;
};

// A main queue that runs nothing until the test drains it. Work submitted with a
// delay becomes due when the shared ManualClock reaches its time. The thread that
// created the queue counts as the main thread. async() may be called from any thread.
class ManualMainQueue final : public MainQueue {
 public:
  explicit ManualMainQueue(std::shared_ptr<ManualClock> clock);

  void async(Work work) override;
  void asyncAfter(Duration delay, Work work) override;
  std::unique_ptr<TimerHandle> scheduleRepeating(Duration interval, Work work) override;
  bool isMainThread() const override { return std::this_thread::get_id() == mainThread_; }

  // Runs every item that is due now, including items they submit that are due now.
  // Returns how many ran.
  std::size_t runUntilIdle();
  // Moves the clock forward step by step to each due time within `seconds`, running
  // what becomes due, then runs what is due at the end.
  std::size_t advance(double seconds);
  std::size_t pendingCount() const;

 private:
  struct Item {
    Work work;
    std::shared_ptr<std::atomic<bool>> cancelled;
  };
  // Keyed by (due time, submission order) so equal times run first-in, first-out.
  using Key = std::tuple<double, std::size_t>;

  void submit(double due, Work work, std::shared_ptr<std::atomic<bool>> cancelled);
  bool runOneDue();

  std::shared_ptr<ManualClock> clock_;
  std::thread::id mainThread_;
  mutable std::mutex mutex_;
  std::map<Key, Item> items_;
  std::size_t sequence_ = 0;
};

}  // namespace qv::testing
