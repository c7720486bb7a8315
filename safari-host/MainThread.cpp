#include "safari-host/MainThread.h"

#include <glib.h>

namespace qv::host {
namespace {

gboolean runTask(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_REMOVE;
}

void deleteTask(gpointer data) {
  delete static_cast<std::function<void()>*>(data);
}

}  // namespace

void postToMain(std::function<void()> task) {
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, runTask, new std::function<void()>(std::move(task)), deleteTask);
  g_source_attach(source, g_main_context_default());
  g_source_unref(source);
}

}  // namespace qv::host
