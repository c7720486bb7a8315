#pragma once

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Json.h"
#include "platform/WebView.h"
#include "platform/linux/system/GObjectRef.h"

namespace qv {

class WebKitDevelopmentTrust;

// A script value as JSON; null when it has no JSON form (undefined, functions, cycles).
Json jsonFromScriptValue(JSCValue* value);

// One WebKitWebView with its own user content manager (script messages carry no sender,
// so views must not share one), in WebKit's default network session. A hidden view keeps
// its timers at full rate; a shown one lives in a popover window, which holds a reference
// to its widget while it is the window's child. Loads wait until `trust` has settled; the
// latest load requested meanwhile wins.
//
// The view shows only the pages loaded through loadHtmlString(): any other navigation,
// and every new window, is refused, so that its script bridge never serves another page.
//
// Main thread only. Destroying the view takes it out of its window and unregisters its
// script-message handlers.
class WebKitView final : public WebView {
 public:
  // With `sharesProcessWith`, the view's pages run in that view's web process.
  WebKitView(std::shared_ptr<WebKitDevelopmentTrust> trust, bool hidden,
             WebKitWebView* sharesProcessWith = nullptr);
  ~WebKitView() override;
  WebKitView(const WebKitView&) = delete;
  WebKitView& operator=(const WebKitView&) = delete;

  bool isDataStorePersistent() const override;
  // A name already registered keeps its first handler; the later one is dropped with a
  // warning.
  void addScriptMessageHandler(const std::string& name, MessageHandler handler) override;
  // Injected at document end, into the main frame only.
  void addUserScript(const std::string& source) override;
  void loadHtmlString(const std::string& html, const std::optional<std::string>& baseUrl) override;
  void evaluateJavaScript(const std::string& script) override;
  void setWebProcessEndedHandler(WebProcessEndedHandler handler) override;

  // The WebKitWebView, owned by this view.
  GtkWidget* widget() const { return GTK_WIDGET(state_->view.get()); }

 private:
  struct PendingLoad {
    std::string html;
    std::optional<std::string> baseUrl;
  };
  // What a deferred load needs; outlives the view only inside a settled-trust waiter.
  struct State {
    GObjectRef<WebKitWebView> view;
    std::optional<PendingLoad> pendingLoad;
    bool waitingForTrust = false;
    bool ownLoadStarting = false;  // the next navigation is one loadPending() asked for
    WebProcessEndedHandler onProcessEnded;
    // Scripts handed to the web process and not known to have run, by order given; a
    // failed one is kept until the process is known to live on.
    struct Evaluation {
      std::string script;
      bool failed = false;
    };
    std::map<std::uint64_t, Evaluation> inFlight;
    std::uint64_t nextEvaluation = 0;
    // While tracing: the message the latest evaluation served. The page's next script
    // message is taken as its answer (exact for one message at a time).
    std::uint64_t lastTraceKey = 0;

    void loadPending();
  };

  static void onScriptMessage(WebKitUserContentManager*, JSCValue* value, gpointer data);
  static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer data);
  static void onEvaluated(GObject* source, GAsyncResult* result, gpointer data);
  static void onProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason,
                                  gpointer data);

  std::shared_ptr<WebKitDevelopmentTrust> trust_;
  GObjectRef<WebKitUserContentManager> contentManager_;
  std::shared_ptr<State> state_;
  std::vector<gulong> signalIds_;
  std::vector<gulong> viewSignalIds_;
  std::vector<std::string> handlerNames_;
};

}  // namespace qv
