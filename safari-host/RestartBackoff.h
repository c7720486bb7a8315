#pragma once

#include <chrono>
#include <deque>
#include <optional>

namespace qv::host {

// When an extension process that keeps exiting may start again. Exits are counted, the
// watchdog's kill included; after 3 within 60 s each further start waits 1 s, then 2 s,
// 4 s, … at most 60 s. A process that stays up for 60 s clears the count. Pure: the
// caller passes the time. Main thread only (like its owner).
class RestartBackoff {
 public:
  using Clock = std::chrono::steady_clock;

  void started(Clock::time_point now);
  void exited(Clock::time_point now);
  // How long the next start must wait from `now`; zero when it may start at once.
  Clock::duration delayAt(Clock::time_point now) const;
  // Exits that count now: 0 once a process stayed up long enough.
  int exitsInARow() const { return static_cast<int>(exits_.size()); }

  static constexpr std::chrono::seconds kWindow{60};
  static constexpr std::chrono::seconds kMaxDelay{60};
  static constexpr int kFreeRestarts = 2;

 private:
  std::optional<Clock::time_point> startedAt_;
  std::deque<Clock::time_point> exits_;  // since the last process that stayed up
  int level_ = 0;                        // doublings of the delay so far
  Clock::time_point lastExit_;
};

}  // namespace qv::host
