#pragma once

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>

// Header only, like MainLoop.h: a target including it needs GIO's and GoogleTest's
// headers and nothing else of the test support.
namespace qv::test {

// Quits `application` with a test failure when it still runs `timeout` after this was
// made, so that a hang fails the test instead of the whole run. Disarmed when destroyed.
class QuitWatchdog {
 public:
  QuitWatchdog(GApplication* application, std::chrono::seconds timeout)
      : source_(g_timeout_add_seconds(static_cast<guint>(timeout.count()), &expire, application)) {}
  ~QuitWatchdog() { g_source_remove(source_); }
  QuitWatchdog(const QuitWatchdog&) = delete;
  QuitWatchdog& operator=(const QuitWatchdog&) = delete;

 private:
  static gboolean expire(gpointer application) {
    ADD_FAILURE() << "the application did not quit";
    g_application_quit(G_APPLICATION(application));
    return G_SOURCE_CONTINUE;  // the destructor removes it
  }

  guint source_;
};

}  // namespace qv::test
