#pragma once

#include <glib-object.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Json.h"
#include "platform/WebView.h"

namespace qv {

class WebKitDevelopmentTrust;
class WebKitPopoverWindows;

// Web views over WebKitGTK 6.0.
//
// Threads: construct the factory, make views, call them and destroy them on the main
// thread, after gtk_init(); script-message handlers run there too (from the GLib main
// loop). Views may outlive the factory.
//
// Hidden views are never put in a window. They share WebKit's default network session
// (persistent, on disk), keep their timers at full rate although WebKit thinks the page
// is hidden, inject user scripts at document end into the main frame only, and hand
// script messages over as JSON (null when the body has no JSON form).
//
// Popover windows are undecorated, fixed-size GTK windows (sizes in points map to GTK's
// logical pixels, each side clamped to 0…8192); their content web view behaves like a
// hidden view in every other way, with WebKit's usual timer policy. It runs in the web
// process of the oldest hidden view of the same factory still alive when it is made (an
// extension's popup in its background page's process: one web process, not two); when
// that process ends, both views see it end.
class WebKitWebViewFactory final : public WebViewFactory {
 public:
  // Development bundles only: extra certificate authorities for the service's hosts.
  // Before the first view loads anything, each host ("host" or "host:port", port 443
  // by default) is contacted once; when its certificate chain verifies against
  // `caPemPath` for that host, the default network session accepts exactly that
  // certificate for it, for page loads and script fetches alike. A host that cannot be
  // reached or does not verify is left to WebKit's own checks. Loads wait for these
  // probes (each bounded by a 5-second network time-out).
  struct DevelopmentTrust {
    std::string caPemPath;
    std::vector<std::string> hosts;
  };

  explicit WebKitWebViewFactory(std::optional<DevelopmentTrust> trust = std::nullopt);
  ~WebKitWebViewFactory() override;
  WebKitWebViewFactory(const WebKitWebViewFactory&) = delete;
  WebKitWebViewFactory& operator=(const WebKitWebViewFactory&) = delete;

  std::unique_ptr<WebView> makeHiddenWebView() override;
  std::unique_ptr<PopoverWindow> makePopoverWindow(ContentSize size) override;

  // The state of the development trust probes, for tests: true once every host has
  // been probed (or when there is nothing to probe).
  bool isTrustSettled() const;

  void evaluateInShownPopover(const std::string& script, EvaluateDone done) override;
  void snapshotShownPopover(const std::string& pngPath, SnapshotDone done) override;
  bool showInspector(InspectedView view) override;

 private:
  std::shared_ptr<WebKitDevelopmentTrust> trust_;
  // Shared with the windows, which may outlive the factory.
  std::shared_ptr<WebKitPopoverWindows> popovers_;
  // The hidden views made here, weakly: they belong to whoever asked for them. Shared
  // with the popover windows, whose views join the first one's web process.
  using WeakViews = std::vector<std::unique_ptr<GWeakRef, void (*)(GWeakRef*)>>;
  std::shared_ptr<WeakViews> hiddenViews_ = std::make_shared<WeakViews>();
};

}  // namespace qv
