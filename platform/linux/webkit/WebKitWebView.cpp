#include "platform/linux/webkit/WebKitWebView.h"

#include <utility>

#include "platform/linux/webkit/GtkPopoverWindow.h"
#include "platform/linux/webkit/WebKitDevelopmentTrust.h"
#include "platform/linux/webkit/WebKitPopoverWindows.h"
#include "platform/linux/webkit/WebKitView.h"

namespace qv {

WebKitWebViewFactory::WebKitWebViewFactory(std::optional<DevelopmentTrust> trust)
    : trust_(std::make_shared<WebKitDevelopmentTrust>(std::move(trust))),
      popovers_(std::make_shared<WebKitPopoverWindows>()) {}

WebKitWebViewFactory::~WebKitWebViewFactory() = default;

namespace {

GObjectRef<WebKitWebView> viewOf(const std::unique_ptr<GWeakRef, void (*)(GWeakRef*)>& weak) {
  return GObjectRef<WebKitWebView>(static_cast<WebKitWebView*>(g_weak_ref_get(weak.get())));
}

}  // namespace

std::unique_ptr<WebView> WebKitWebViewFactory::makeHiddenWebView() {
  trust_->start();
  auto view = std::make_unique<WebKitView>(trust_, /*hidden=*/true);
  std::erase_if(*hiddenViews_, [](const auto& weak) { return viewOf(weak).get() == nullptr; });
  auto weak = std::unique_ptr<GWeakRef, void (*)(GWeakRef*)>(new GWeakRef, [](GWeakRef* ref) {
    g_weak_ref_clear(ref);
    delete ref;
  });
  g_weak_ref_init(weak.get(), view->widget());
  hiddenViews_->push_back(std::move(weak));
  return view;
}

std::unique_ptr<PopoverWindow> WebKitWebViewFactory::makePopoverWindow(ContentSize size) {
  trust_->start();
  return std::make_unique<GtkPopoverWindow>(trust_, popovers_, size,
                                            [views = hiddenViews_]() -> GObjectRef<WebKitWebView> {
                                              for (const auto& weak : *views) {
                                                if (GObjectRef<WebKitWebView> view = viewOf(weak))
                                                  return view;
                                              }
                                              return {};
                                            });
}

bool WebKitWebViewFactory::isTrustSettled() const {
  return trust_->isSettled();
}

void WebKitWebViewFactory::evaluateInShownPopover(const std::string& script, EvaluateDone done) {
  popovers_->evaluateInShown(script, std::move(done));
}

bool WebKitWebViewFactory::showInspector(InspectedView which) {
  GObjectRef<WebKitWebView> view;
  if (which == InspectedView::popover) {
    view = popovers_->contentView(/*shownOnly=*/false);
  } else {
    for (const auto& weak : *hiddenViews_) {
      view = viewOf(weak);
      if (view) break;
    }
  }
  if (!view) return false;
  webkit_settings_set_enable_developer_extras(webkit_web_view_get_settings(view.get()), TRUE);
  // A view in no window (the hidden one) cannot host an attached inspector; WebKit opens
  // it in a window of its own.
  webkit_web_inspector_show(webkit_web_view_get_inspector(view.get()));
  return true;
}

void WebKitWebViewFactory::snapshotShownPopover(const std::string& pngPath, SnapshotDone done) {
  popovers_->snapshotShown(pngPath, std::move(done));
}

}  // namespace qv
