#pragma once

#include <glib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "tests/support/TempDir.h"

namespace qv::test {

// Iterates the default main context on this thread until `done` or the deadline.
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

// Runs the context for `duration`.
inline void runFor(std::chrono::milliseconds duration) {
  auto until = std::chrono::steady_clock::now() + duration;
  runUntil([&] { return std::chrono::steady_clock::now() >= until; },
           duration + std::chrono::seconds(1));
}

// GTK on the test's main thread, with WebKit's persistent data kept in a throw-away
// home so tests never touch the developer's own. Register once per test program.
class GtkTestEnvironment : public testing::Environment {
 public:
  void SetUp() override;

 private:
  std::unique_ptr<TempDir> home_;
  std::unique_ptr<ScopedEnv> dataHome_;
  std::unique_ptr<ScopedEnv> cacheHome_;
  std::unique_ptr<ScopedEnv> configHome_;
};

}  // namespace qv::test
