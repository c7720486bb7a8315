#include "platform/testing/ManualMainQueue.h"

namespace qv::testing {
namespace {

class ManualTimer final : public TimerHandle {
 public:
  explicit ManualTimer(std::shared_ptr<std::atomic<bool>> cancelled)
      : cancelled_(std::move(cancelled)) {}
  ~ManualTimer() override { cancel(); }
  void cancel() override { *cancelled_ = true; }

 private:
  std::shared_ptr<std::atomic<bool>> cancelled_;
};

double seconds(MainQueue::Duration duration) {
  return std::chrono::duration<double>(duration).count();
}

}  // namespace

ManualMainQueue::ManualMainQueue(std::shared_ptr<ManualClock> clock)
    : clock_(std::move(clock)), mainThread_(std::this_thread::get_id()) {}

void ManualMainQueue::submit(double due, Work work, std::shared_ptr<std::atomic<bool>> cancelled) {
  std::lock_guard lock(mutex_);
  items_.emplace(Key{due, sequence_++}, Item{std::move(work), std::move(cancelled)});
}

void ManualMainQueue::async(Work work) {
  submit(clock_->now().secondsSince1970, std::move(work), nullptr);
}

void ManualMainQueue::asyncAfter(Duration delay, Work work) {
  submit(clock_->now().secondsSince1970 + seconds(delay), std::move(work), nullptr);
}

std::unique_ptr<TimerHandle> ManualMainQueue::scheduleRepeating(Duration interval, Work work) {
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  auto shared = std::make_shared<Work>(std::move(work));
  // Each firing schedules the next one, one interval after it was due.
  auto fire = std::make_shared<std::function<void(double)>>();
  std::weak_ptr<std::function<void(double)>> weakFire = fire;
  *fire = [this, interval, shared, cancelled, weakFire](double due) {
    (*shared)();
    if (*cancelled) return;
    if (auto next = weakFire.lock()) {
      double nextDue = due + seconds(interval);
      submit(
          nextDue, [next, nextDue] { (*next)(nextDue); }, cancelled);
    }
  };
  double firstDue = clock_->now().secondsSince1970 + seconds(interval);
  submit(
      firstDue, [fire, firstDue] { (*fire)(firstDue); }, cancelled);
  return std::make_unique<ManualTimer>(cancelled);
}

bool ManualMainQueue::runOneDue() {
  Item item;
  {
    std::lock_guard lock(mutex_);
    auto first = items_.begin();
    if (first == items_.end() || std::get<0>(first->first) > clock_->now().secondsSince1970) {
      return false;
    }
    item = std::move(first->second);
    items_.erase(first);
  }
  if (item.cancelled && *item.cancelled) return true;
  item.work();
  return true;
}

std::size_t ManualMainQueue::runUntilIdle() {
  std::size_t count = 0;
  while (runOneDue()) ++count;
  return count;
}

std::size_t ManualMainQueue::advance(double seconds) {
  double end = clock_->now().secondsSince1970 + seconds;
  std::size_t count = runUntilIdle();
  for (;;) {
    double nextDue;
    {
      std::lock_guard lock(mutex_);
      if (items_.empty()) break;
      nextDue = std::get<0>(items_.begin()->first);
    }
    if (nextDue > end) break;
    if (nextDue > clock_->now().secondsSince1970) clock_->set(Date{nextDue});
    count += runUntilIdle();
  }
  clock_->set(Date{end});
  return count + runUntilIdle();
}

std::size_t ManualMainQueue::pendingCount() const {
  std::lock_guard lock(mutex_);
  return items_.size();
}

}  // namespace qv::testing
