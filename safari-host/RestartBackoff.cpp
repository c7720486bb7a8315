#include "safari-host/RestartBackoff.h"

#include <algorithm>

namespace qv::host {

void RestartBackoff::started(Clock::time_point now) {
  startedAt_ = now;
}

void RestartBackoff::exited(Clock::time_point now) {
  if (startedAt_ && now - *startedAt_ >= kWindow) {
    exits_.clear();  // it ran long enough: whatever came before is forgiven
    level_ = 0;
  }
  startedAt_.reset();
  exits_.push_back(now);
  lastExit_ = now;
  // Once waiting began it only grows, until a process stays up; before that, only the
  // exits of the last minute count.
  if (level_ == 0) {
    while (!exits_.empty() && now - exits_.front() >= kWindow) exits_.pop_front();
    if (static_cast<int>(exits_.size()) > kFreeRestarts) level_ = 1;
  } else {
    ++level_;
  }
}

RestartBackoff::Clock::duration RestartBackoff::delayAt(Clock::time_point now) const {
  if (level_ == 0) return Clock::duration::zero();
  auto delay = std::chrono::seconds(1) * (1LL << std::min(level_ - 1, 6));
  Clock::time_point allowed = lastExit_ + std::min<Clock::duration>(delay, kMaxDelay);
  return std::max(allowed - now, Clock::duration::zero());
}

}  // namespace qv::host
