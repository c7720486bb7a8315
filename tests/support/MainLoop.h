#pragma once

#include <glib.h>

#include <chrono>
#include <functional>

// Header only, so that a target including it needs GLib's headers and nothing else of
// the test support.
namespace qv::test {

// Iterates the default GLib main context on this thread until `done` or the deadline;
// whether `done` came true. For tests and benchmarks that drive GLib, GTK or WebKit; may
// be called from inside a callback of a running loop. Conditions that do not depend on
// the context are still polled every 20 ms. Without GLib, use waitUntil (Wait.h).
inline bool runUntil(const std::function<bool()>& done,
                     std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  // Wakes the blocking iteration now and then so the deadline is noticed.
  guint tick = g_timeout_add(
      20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(nullptr, TRUE);
  }
  g_source_remove(tick);
  return done();
}

// Runs the context for `duration`, to let anything wrongly scheduled show up.
inline void runFor(std::chrono::milliseconds duration) {
  auto until = std::chrono::steady_clock::now() + duration;
  runUntil([&] { return std::chrono::steady_clock::now() >= until; },
           duration + std::chrono::seconds(1));
}

}  // namespace qv::test
