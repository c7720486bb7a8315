#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Json.h"

namespace qv {

// A web view (WebKit). Every method must be called on the main thread; script-message
// handlers run there too.
class WebView {
 public:
  using MessageHandler = std::function<void(const Json& body)>;

  virtual ~WebView() = default;

  // Whether the view's website data store keeps data on disk.
  virtual bool isDataStorePersistent() const = 0;
  // `window.webkit.messageHandlers.<name>.postMessage(body)` calls `handler` with the
  // body as JSON (null when the body has no JSON form).
  virtual void addScriptMessageHandler(const std::string& name, MessageHandler handler) = 0;
  // A script injected at document end into the main frame of every later load.
  virtual void addUserScript(const std::string& source) = 0;
  virtual void loadHtmlString(const std::string& html,
                              const std::optional<std::string>& baseUrl) = 0;
  // Runs `script` in the main frame; results and errors are ignored.
  virtual void evaluateJavaScript(const std::string& script) = 0;
  // Called when the process that runs the page ends on its own (it crashed, ran out of
  // memory or was killed); the view then shows nothing until it loads again. The handler
  // gets the scripts given to evaluateJavaScript() that had not finished running, in
  // the order they were given: a caller that wants them run evaluates them again.
  using WebProcessEndedHandler = std::function<void(std::vector<std::string> unfinishedScripts)>;
  virtual void setWebProcessEndedHandler(WebProcessEndedHandler handler) = 0;
};

// A size on screen, in points.
struct ContentSize {
  double width = 0;
  double height = 0;

  bool operator==(const ContentSize&) const = default;
};

// The toolbar popover as the extension presents it: an undecorated window of its own
// (the browser cannot embed another process's view), hidden until shown. Main thread
// only. The window owns the view placed in it only as far as showing it goes: the
// WebView object stays with whoever made it, and may be destroyed before the window.
class PopoverWindow {
 public:
  virtual ~PopoverWindow() = default;

  virtual void show() = 0;
  virtual void hide() = 0;
  virtual bool isVisible() const = 0;
  // The size the content asks for; the window fits itself around it.
  virtual void setContentSize(ContentSize size) = 0;
  // The content's size on screen while shown; the size asked for while hidden.
  virtual ContentSize contentSize() const = 0;
  // A web view (default data store, like a hidden one) that fills the window, replacing
  // any earlier one. Null when none can be made.
  virtual std::unique_ptr<WebView> makeContentWebView() = 0;
};

// Makes web views. Main thread only.
class WebViewFactory {
 public:
  virtual ~WebViewFactory() = default;
  // A view that is never shown: the background page. It uses the default (persistent)
  // website data store and runs its timers at full rate although it is hidden.
  virtual std::unique_ptr<WebView> makeHiddenWebView() = 0;
  // The popover's window, hidden, with content of `size`. Null when none can be made.
  virtual std::unique_ptr<PopoverWindow> makePopoverWindow(ContentSize size) = 0;

  // Automation (tests, demos) of the popover window made here that is shown now: its
  // content web view's main frame. Each completes exactly once on the main thread, maybe
  // before returning, also when the window or its view goes away meanwhile; the error
  // text says why it failed ("the popover is not shown" when none is).
  //
  // Runs `script`: the value of its completion as JSON (null when it has none), or the
  // message of the exception it threw.
  using EvaluateDone = std::function<void(std::optional<Json> value, std::string error)>;
  virtual void evaluateInShownPopover(const std::string& script, EvaluateDone done) = 0;
  // Writes what the content web view shows to `pngPath` as PNG; absent on success.
  using SnapshotDone = std::function<void(std::optional<std::string> error)>;
  virtual void snapshotShownPopover(const std::string& pngPath, SnapshotDone done) = 0;

  // Development (the browser's Develop menu): opens WebKit's Web Inspector, in a window
  // of its own, for a view made here: the hidden view (the background page) or the
  // content view of a popover window (the settings popup), shown or not. Turns on the
  // view's developer extras first. False when no such view exists.
  enum class InspectedView { hidden, popover };
  virtual bool showInspector(InspectedView view) = 0;
};

}  // namespace qv
