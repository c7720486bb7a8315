#include "safari-host/Screenshot.h"

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <memory>

#include "platform/linux/system/GObjectRef.h"

namespace qv::host {
namespace {

// A page that renders nothing (hidden, busy), or a window that is not on screen and so
// paints nothing, is not waited for longer than this, each.
constexpr guint frameTimeoutMs = 1000;
constexpr int windowFramesToWait = 2;

// One wait: the page's frames first, then the window's. Whichever of completion or
// time-out comes first ends each stage; `ready` runs exactly once.
struct DrawWait {
  GObjectRef<GtkWidget> window;
  std::function<void()> ready;
  guint timeout = 0;
  GObjectRef<GdkFrameClock> clock;
  gulong afterPaint = 0;
  bool pageDone = false;
  int windowFrames = 0;

  void startTimeout(const std::shared_ptr<DrawWait>& self) {
    if (timeout != 0) g_source_remove(timeout);
    timeout = g_timeout_add_full(
        G_PRIORITY_DEFAULT, frameTimeoutMs,
        +[](gpointer data) -> gboolean {
          std::shared_ptr<DrawWait> wait = *static_cast<std::shared_ptr<DrawWait>*>(data);
          wait->timeout = 0;
          if (wait->pageDone) {
            wait->finish();
          } else {
            wait->waitForWindow(wait);
          }
          return G_SOURCE_REMOVE;
        },
        new std::shared_ptr<DrawWait>(self),
        +[](gpointer data) { delete static_cast<std::shared_ptr<DrawWait>*>(data); });
  }

  void finish() {
    if (!ready) return;
    if (timeout != 0) g_source_remove(timeout);
    timeout = 0;
    // A window that never paints would keep the handler, and with it this wait.
    if (afterPaint != 0) g_signal_handler_disconnect(clock.get(), afterPaint);
    afterPaint = 0;
    clock.reset();
    auto callback = std::move(ready);
    ready = nullptr;
    callback();
  }

  // After the page has drawn (or was given up on), count the window's next frames. The
  // end of a frame is the moment to take the picture: layout is done, so the window has
  // something to show (between frames a pending resize leaves it nothing).
  void waitForWindow(const std::shared_ptr<DrawWait>& self) {
    if (pageDone || !ready) return;
    pageDone = true;
    startTimeout(self);
    GdkFrameClock* frameClock = gtk_widget_get_frame_clock(window.get());
    if (frameClock == nullptr) return;  // not on screen: the time-out ends the wait
    clock = GObjectRef<GdkFrameClock>::retain(frameClock);
    afterPaint = g_signal_connect_data(
        frameClock, "after-paint", G_CALLBACK(+[](GdkFrameClock*, gpointer data) {
          // A copy: finishing disconnects the handler, which releases `data`.
          std::shared_ptr<DrawWait> wait = *static_cast<std::shared_ptr<DrawWait>*>(data);
          if (++wait->windowFrames < windowFramesToWait) {
            gtk_widget_queue_draw(wait->window.get());
            return;
          }
          wait->finish();
        }),
        new std::shared_ptr<DrawWait>(self),
        +[](gpointer data, GClosure*) { delete static_cast<std::shared_ptr<DrawWait>*>(data); },
        GConnectFlags(0));
    gtk_widget_queue_draw(window.get());
  }
};

}  // namespace

void whenDrawn(GtkWidget* window, WebKitWebView* page, std::function<void()> ready) {
  auto wait = std::make_shared<DrawWait>();
  wait->window = GObjectRef<GtkWidget>::retain(window);
  wait->ready = std::move(ready);
  if (page == nullptr) {
    wait->waitForWindow(wait);
    return;
  }
  wait->startTimeout(wait);
  static constexpr const char* twoFrames =
      "await new Promise((resolve) => requestAnimationFrame(() => "
      "requestAnimationFrame(resolve)));";
  webkit_web_view_call_async_javascript_function(
      page, twoFrames, -1, nullptr, nullptr, nullptr, nullptr,
      +[](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::shared_ptr<DrawWait>> wait(
            static_cast<std::shared_ptr<DrawWait>*>(data));
        GError* error = nullptr;
        JSCValue* value = webkit_web_view_call_async_javascript_function_finish(
            WEBKIT_WEB_VIEW(source), result, &error);
        g_clear_error(&error);
        if (value != nullptr) g_object_unref(value);
        (*wait)->waitForWindow(*wait);
      },
      new std::shared_ptr<DrawWait>(wait));
}

std::optional<std::string> saveScreenshot(GtkWidget* widget, const std::string& path) {
  int width = gtk_widget_get_width(widget);
  int height = gtk_widget_get_height(widget);
  GtkNative* native = gtk_widget_get_native(widget);
  GskRenderer* renderer = native != nullptr ? gtk_native_get_renderer(native) : nullptr;
  if (width <= 0 || height <= 0 || renderer == nullptr) return "the window is not on screen";

  GObjectRef<GdkPaintable> paintable(gtk_widget_paintable_new(widget));
  GtkSnapshot* snapshot = gtk_snapshot_new();
  gdk_paintable_snapshot(paintable.get(), GDK_SNAPSHOT(snapshot), width, height);
  GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
  if (node == nullptr) return "the window drew nothing";
  graphene_rect_t bounds =
      GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width), static_cast<float>(height));
  GdkTexture* texture = gsk_renderer_render_texture(renderer, node, &bounds);
  gsk_render_node_unref(node);
  if (texture == nullptr) return "rendering failed";
  GObjectRef<GdkTexture> owned(texture);
  if (!gdk_texture_save_to_png(texture, path.c_str())) return "cannot write " + path;
  return std::nullopt;
}

}  // namespace qv::host
