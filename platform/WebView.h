#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

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
};

// Makes web views. Main thread only.
class WebViewFactory {
 public:
  virtual ~WebViewFactory() = default;
  // A view that is never shown: the background page. It uses the default (persistent)
  // website data store and runs its timers at full rate although it is hidden.
  virtual std::unique_ptr<WebView> makeHiddenWebView() = 0;
};

}  // namespace qv
