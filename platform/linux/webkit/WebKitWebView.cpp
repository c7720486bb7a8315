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

std::unique_ptr<WebView> WebKitWebViewFactory::makeHiddenWebView() {
  trust_->start();
  return std::make_unique<WebKitView>(trust_, /*hidden=*/true);
}

std::unique_ptr<PopoverWindow> WebKitWebViewFactory::makePopoverWindow(ContentSize size) {
  trust_->start();
  return std::make_unique<GtkPopoverWindow>(trust_, popovers_, size);
}

bool WebKitWebViewFactory::isTrustSettled() const {
  return trust_->isSettled();
}

void WebKitWebViewFactory::evaluateInShownPopover(const std::string& script, EvaluateDone done) {
  popovers_->evaluateInShown(script, std::move(done));
}

void WebKitWebViewFactory::snapshotShownPopover(const std::string& pngPath, SnapshotDone done) {
  popovers_->snapshotShown(pngPath, std::move(done));
}

}  // namespace qv
