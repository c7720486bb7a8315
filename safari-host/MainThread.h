#pragma once

#include <functional>

namespace qv::host {

// Queues `task` to run on the GLib default main context (the GTK thread), always later,
// never inside this call, also when called from that thread. Any thread. Tasks run in
// the order they were posted from one thread.
void postToMain(std::function<void()> task);

}  // namespace qv::host
