#include "platform/linux/webkit/WebKitPopoverWindows.h"

#include <memory>
#include <optional>
#include <utility>

#include "platform/linux/webkit/WebKitView.h"

namespace qv {
namespace {

// Automation requests in flight. Each holds the view, so that WebKit answers it (with an
// error if the page has gone) however the popover changes meanwhile.
struct PendingEvaluation {
  GObjectRef<WebKitWebView> view;
  WebViewFactory::EvaluateDone done;
};
struct PendingSnapshot {
  GObjectRef<WebKitWebView> view;
  WebViewFactory::SnapshotDone done;
  std::string pngPath;
};

constexpr const char* popoverNotShown = "the popover is not shown";

void onPopoverEvaluated(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<PendingEvaluation> pending(static_cast<PendingEvaluation*>(data));
  GError* rawError = nullptr;
  GObjectRef<JSCValue> value(
      webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &rawError));
  GErrorPtr error(rawError);
  if (!value) {
    // A script that throws fails here, with the exception's message.
    return pending->done(std::nullopt, error ? error->message : "the script did not run");
  }
  pending->done(jsonFromScriptValue(value.get()), "");
}

void onPopoverSnapshot(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<PendingSnapshot> pending(static_cast<PendingSnapshot*>(data));
  GError* rawError = nullptr;
  GObjectRef<GdkTexture> texture(
      webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &rawError));
  GErrorPtr error(rawError);
  if (!texture) {
    return pending->done(std::string("no snapshot of the popover: ") +
                         (error ? error->message : "unknown error"));
  }
  if (!gdk_texture_save_to_png(texture.get(), pending->pngPath.c_str())) {
    return pending->done("cannot write " + pending->pngPath);
  }
  pending->done(std::nullopt);
}

}  // namespace

GObjectRef<WebKitWebView> WebKitPopoverWindows::shownContentView() const {
  return contentView(/*shownOnly=*/true);
}

GObjectRef<WebKitWebView> WebKitPopoverWindows::contentView(bool shownOnly) const {
  for (GtkWindow* window : windows_) {
    if (shownOnly && !gtk_widget_get_visible(GTK_WIDGET(window))) continue;
    GtkWidget* child = gtk_window_get_child(window);
    if (child != nullptr && WEBKIT_IS_WEB_VIEW(child)) {
      return GObjectRef<WebKitWebView>::retain(child);
    }
  }
  return {};
}

void WebKitPopoverWindows::evaluateInShown(const std::string& script,
                                           WebViewFactory::EvaluateDone done) const {
  GObjectRef<WebKitWebView> view = shownContentView();
  if (!view) return done(std::nullopt, popoverNotShown);
  WebKitWebView* target = view.get();
  webkit_web_view_evaluate_javascript(target, script.data(), static_cast<gssize>(script.size()),
                                      nullptr, nullptr, nullptr, &onPopoverEvaluated,
                                      new PendingEvaluation{std::move(view), std::move(done)});
}

void WebKitPopoverWindows::snapshotShown(const std::string& pngPath,
                                         WebViewFactory::SnapshotDone done) const {
  GObjectRef<WebKitWebView> view = shownContentView();
  if (!view) return done(popoverNotShown);
  WebKitWebView* target = view.get();
  webkit_web_view_get_snapshot(target, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE,
                               nullptr, &onPopoverSnapshot,
                               new PendingSnapshot{std::move(view), std::move(done), pngPath});
}

}  // namespace qv
