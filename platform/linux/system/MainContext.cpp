#include "platform/linux/system/MainContext.h"

#include <glib.h>

#include <algorithm>
#include <limits>

namespace qv {
namespace {

gboolean runTask(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_REMOVE;
}

void deleteTask(gpointer data) {
  delete static_cast<std::function<void()>*>(data);
}

unsigned attach(GSource* source, std::function<void()> task) {
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, runTask, new std::function<void()>(std::move(task)), deleteTask);
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
