#pragma once

#include <chrono>
#include <functional>

namespace qv::test {

// Long enough for a loaded machine or a sanitizer build; a wait ends as soon as its
// condition holds, so only a failing test pays for it.
inline constexpr std::chrono::milliseconds kWaitTimeout = std::chrono::seconds(20);

// How many times slower sanitizer builds run. Bounds that tell "answered promptly" from
// "waited out a time-out" multiply by it; they stay well below the time-out they guard.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr int kSlowdown = 3;
#else
inline constexpr int kSlowdown = 1;
#endif

// Polls `condition` on this thread until it holds or `timeout` passes, and asks once
// more at the deadline; whether it held. The pause between polls grows from 1 ms to
// 20 ms: a condition that comes true at once is seen at once, and one that asks another
// process is not asked in a busy loop. For GLib-driven code use runUntil (MainLoop.h),
// which runs the main context while it waits.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = kWaitTimeout);

}  // namespace qv::test
