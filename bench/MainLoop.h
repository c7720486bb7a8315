#pragma once

#include <glib.h>

#include <chrono>
#include <functional>

namespace qv::bench {

// Iterates the default main context until `done`; false after `timeout`. For benchmarks
// that drive WebKit in their own process.
inline bool runUntil(const std::function<bool()>& done, std::chrono::seconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  // Wakes the blocking iteration now and then so the deadline is noticed.
  guint tick = g_timeout_add(
      100, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(nullptr, TRUE);
  }
  g_source_remove(tick);
  return done();
}

}  // namespace qv::bench
