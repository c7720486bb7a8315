// qv-webkit-probe: can WebKit start a web process here? Loads a tiny page in a hidden
// view and runs one line of script in it, within a few seconds.
//   exit 0  yes
//   exit 3  WebKit could not launch it (the line on stderr says why; usually the sandbox)
//   exit 4  the web process ended or nothing answered in time
//   exit 1  no display
// scripts/test and scripts/run ask it before they start anything that needs WebKit.

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <cstdio>

#include "platform/linux/webkit/WebKitLaunchFailure.h"

namespace {

int outcome = 4;
GMainLoop* loop = nullptr;

void finish(int status, const char* message) {
  outcome = status;
  std::fprintf(status == 0 ? stdout : stderr, "qv-webkit-probe: %s\n", message);
  g_main_loop_quit(loop);
}

}  // namespace

int main() {
  qv::reportWebKitLaunchFailures("qv-webkit-probe");
  if (!gtk_init_check()) {
    std::fprintf(stderr, "qv-webkit-probe: cannot open a display\n");
    return 1;
  }
  loop = g_main_loop_new(nullptr, FALSE);
  WebKitWebView* view = WEBKIT_WEB_VIEW(g_object_ref_sink(webkit_web_view_new()));
  g_signal_connect(view, "web-process-terminated",
                   G_CALLBACK(+[](WebKitWebView*, WebKitWebProcessTerminationReason, gpointer) {
                     finish(4, "the web process ended at once");
                   }),
                   nullptr);
  g_signal_connect(view, "load-changed",
                   G_CALLBACK(+[](WebKitWebView* view, WebKitLoadEvent event, gpointer) {
                     if (event != WEBKIT_LOAD_FINISHED) return;
                     webkit_web_view_evaluate_javascript(
                         view, "1 + 1", -1, nullptr, nullptr, nullptr,
                         +[](GObject* source, GAsyncResult* result, gpointer) {
                           JSCValue* value = webkit_web_view_evaluate_javascript_finish(
                               WEBKIT_WEB_VIEW(source), result, nullptr);
                           bool answered = value != nullptr && jsc_value_to_int32(value) == 2;
                           if (value != nullptr) g_object_unref(value);
                           finish(answered ? 0 : 4, answered ? "a web process started"
                                                             : "the web process ran no script");
                         },
                         nullptr);
                   }),
                   nullptr);
  g_timeout_add_seconds(
      20,
      +[](gpointer) -> gboolean {
        finish(4, "no web process answered within 20 s");
        return G_SOURCE_REMOVE;
      },
      nullptr);
  webkit_web_view_load_html(view, "<p>probe</p>", "about:blank");
  g_main_loop_run(loop);
  g_object_unref(view);
  g_main_loop_unref(loop);
  return outcome;
}
