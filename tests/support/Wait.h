#pragma once

#include <chrono>
#include <functional>

namespace qv::test {

// Long enough for a loaded machine or a sanitizer build; a wait ends as soon as its
// condition holds, so only a failing test pays for it.
inline constexpr std::chrono::milliseconds kWaitTimeout = std::chrono::seconds(20);

// Polls `condition` on this thread until it holds or `timeout` passes, and asks once
// more at the deadline; whether it held. The pause between polls grows from 1 ms to
// 20 ms: a condition that comes true at once is seen at once, and one that asks another
// process is not asked in a busy loop. For GLib-driven code use runUntil (MainLoop.h),
// which runs the main context while it waits.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = kWaitTimeout);

}  // namespace qv::test
