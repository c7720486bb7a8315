#include "platform/linux/system/MainContext.h"

#include <glib.h>

#include <algorithm>
#include <atomic>
#include <limits>

#include "platform/linux/system/Trace.h"

namespace qv {
namespace {

// A task handed from the posting thread to the main context. GLib orders the hand-over,
// but inside itself, where ThreadSanitizer cannot see (GLib is not instrumented); the
// release/acquire pair states the same order in our code, so that what the task
// captured is not reported as racing.
struct Task {
  explicit Task(std::function<void()> run) : run(trace::carried(std::move(run))) {
    published.store(true, std::memory_order_release);
  }
  Task& received() {
    published.load(std::memory_order_acquire);
    return *this;
  }
  std::function<void()> run;
  std::atomic<bool> published{false};
};

gboolean runTask(gpointer data) {
  static_cast<Task*>(data)->received().run();
  return G_SOURCE_REMOVE;
}

void deleteTask(gpointer data) {
  delete &static_cast<Task*>(data)->received();
}

unsigned attach(GSource* source, std::function<void()> task) {
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, runTask, new Task(std::move(task)), deleteTask);
  unsigned id = g_source_attach(source, g_main_context_default());
  g_source_unref(source);
  return id;
}

}  // namespace

void postToMain(std::function<void()> task) {
  attach(g_idle_source_new(), std::move(task));
}

unsigned runAfter(std::chrono::milliseconds delay, std::function<void()> task) {
  auto milliseconds = std::clamp<std::chrono::milliseconds::rep>(delay.count(), 0,
                                                                 std::numeric_limits<guint>::max());
  return attach(g_timeout_source_new(static_cast<guint>(milliseconds)), std::move(task));
}

}  // namespace qv
