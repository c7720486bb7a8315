#pragma once

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <string>
#include <vector>

#include "platform/WebView.h"
#include "platform/linux/system/GObjectRef.h"

namespace qv {

// The popover windows one factory made that still exist, and the automation requests
// that reach the content of the one shown. Each window adds itself when made and removes
// itself when destroyed. Main thread only; completions run there too, from the GLib main
// loop, or at once when no popover is shown.
class WebKitPopoverWindows {
 public:
  void add(GtkWindow* window) { windows_.push_back(window); }
  void remove(GtkWindow* window) { std::erase(windows_, window); }

  // A new reference to the content web view of a shown window; null when none shows one.
  GObjectRef<WebKitWebView> shownContentView() const;
  // The same for any window, shown or hidden.
  GObjectRef<WebKitWebView> contentView(bool shownOnly) const;

  // Runs `script` in the shown popover's page. `done` gets the result as JSON, or the
  // error (the exception's message when the script throws).
  void evaluateInShown(const std::string& script, WebViewFactory::EvaluateDone done) const;
  // Writes a PNG of the shown popover's visible area to `pngPath`; `done` gets the error,
  // absent on success.
  void snapshotShown(const std::string& pngPath, WebViewFactory::SnapshotDone done) const;

 private:
  std::vector<GtkWindow*> windows_;
};

}  // namespace qv
