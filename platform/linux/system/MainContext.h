#pragma once

#include <chrono>
#include <functional>

namespace qv {

// Work for GLib's default main context (the GTK thread), for code that lives on that
// loop without a MainQueue.

// Queues `task` to run on the default main context, always later, never inside this
// call, also when called from that thread. Any thread. Tasks run in the order they were
// posted from one thread.
void postToMain(std::function<void()> task);

// Runs `task` once on the default main context after `delay`. The GLib source id, which
// g_source_remove() cancels with until the task has run. Any thread.
unsigned runAfter(std::chrono::milliseconds delay, std::function<void()> task);

}  // namespace qv
