#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/Json.h"
#include "platform/linux/system/GObjectRef.h"
#include "safari-host/ContentScriptInjector.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitWebView WebKitWebView;
typedef struct _WebKitPolicyDecision WebKitPolicyDecision;
typedef struct _GTlsCertificate GTlsCertificate;
typedef struct _GError GError;

namespace qv::host {

class BrowserDelegate;
class BrowserWindow;

// One browser tab: a web view with its own user content manager (so a script message
// names its sender), the reference of the page it currently shows, and its load state.
// A page is one top-level document: every committed navigation makes a new page
// reference, and references of earlier pages stop naming anything. Owned by the
// BrowserWindow it sits in; main thread only.
class Tab {
 public:
  // Outcome of waiting for a load: the URL, or an error ("tab closed").
  using LoadWaiter = std::function<void(const std::string& url, const std::string& error)>;
  // Result of evaluating a script: its value as JSON, or the exception's text.
  using EvaluateCallback = std::function<void(std::optional<Json> value, std::string error)>;

  Tab(BrowserWindow& window, BrowserDelegate& delegate);
  ~Tab();
  Tab(const Tab&) = delete;
  Tab& operator=(const Tab&) = delete;

  const std::string& ref() const { return ref_; }
  // The current page; absent while the first document is still loading.
  const std::optional<std::string>& pageRef() const { return pageRef_; }
  GtkWidget* widget() const;
  BrowserWindow& window() const { return *window_; }
  // When the tab is dragged to another window.
  void moveToWindow(BrowserWindow& window) { window_ = &window; }

  // What the tab shows or is about to show.
  std::string url() const;
  std::string title() const;
  // The URL of the current page (pageRef()), which a load in progress does not change.
  const std::string& pageUrl() const { return pageUrl_; }
  bool isLoading() const;
  // Finished loading its latest navigation (successfully or not), with nothing pending.
  bool isLoaded() const;
  bool canGoBack() const;
  bool canGoForward() const;

  // Starts loading `url` (custom schemes are handed to the desktop instead).
  void load(const std::string& url);
  void goBack();
  void goForward();
  void reload();
  void stop();

  // Calls `waiter` once the tab is loaded (at once if it already is). The id cancels it.
  std::uint64_t whenLoaded(LoadWaiter waiter);
  void cancelLoadWaiter(std::uint64_t id);

  // Delivers a message to the listeners of `extensionIdentifier`'s content scripts in
  // page `pageRef`; nothing happens when that page is no longer shown.
  void dispatchMessageToScript(const std::string& pageRef, const std::string& extensionIdentifier,
                               const std::string& name, const Json& userInfo);
  // Evaluates `script` in the main frame: in the page's own world when `worldName` is
  // empty, else in that script world.
  void evaluate(const std::string& script, const std::string& worldName, EvaluateCallback callback);
  // Installs the content scripts of the enabled extensions; they apply from the next
  // document on.
  void updateExtensions();

 private:
  void onLoadChanged(int event);
  void onLoadFailed(const char* uri, const GError* error);
  bool onTlsError(const char* uri, GTlsCertificate* certificate);
  bool onDecidePolicy(WebKitPolicyDecision* decision, int type);
  void onStateChanged();
  void notifyWaitersIfLoaded();
  void connectSignals();

  BrowserWindow* window_;
  BrowserDelegate& delegate_;
  std::string ref_;
  std::optional<std::string> pageRef_;
  std::string pageUrl_;
  GObjectRef<WebKitWebView> view_;
  std::unique_ptr<ContentScriptInjector> injector_;
  bool navigationPending_ = false;  // load() called, WebKit not started yet
  bool provisional_ = false;        // a load started and has not committed yet
  bool retryPending_ = false;       // reloading after trusting a development certificate
  bool finishedOnce_ = false;
  // A person, automation or the extension asked for the navigation now starting (load()).
  bool loadRequested_ = false;
  // The navigation in progress was started that way, or by a click or key press; its
  // redirects may then leave for another application.
  bool navigationTrusted_ = false;
  std::string lastTlsRetryUrl_;
  std::uint64_t nextWaiterId_ = 1;
  std::map<std::uint64_t, LoadWaiter> loadWaiters_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace qv::host
