#pragma once

#include <functional>
#include <future>
#include <memory>
#include <string>

#include "SafariExtension/Env.h"
#include "SafariExtension/ExtensionHooks.h"
#include "SafariExtension/PageRegistry.h"
#include "SafariExtension/SafariExtensionHandler.h"
#include "SafariExtension/SafariExtensionViewController.h"
#include "ipc/Dispatcher.h"
#include "platform/SafariServices.h"
#include "platform/WebView.h"

namespace qv {

// Turns safari-host's calls (ipc::handler) into SafariExtensionHandler calls. They
// arrive on the connection's reader thread, the thread Safari would choose; the handler
// hops to the main queue itself for everything that needs it.
//
// The router answers calls from the moment its connection starts, but what it hands
// them to exists only once the connection does: calls wait (on the reader thread) until
// connect() supplies it.
class HostCallRouter {
 public:
  struct Parts {
    std::shared_ptr<SafariApplication> application;
    // Handles for the references the browser sends (page and window references).
    std::function<std::shared_ptr<SafariPage>(const std::string& ref)> page;
    std::function<std::shared_ptr<SafariWindow>(const std::string& ref)> window;
    std::shared_ptr<PageRegistry> registry;
    // main owns the host, so that it ends on the main thread whatever the reader does.
    std::weak_ptr<SharedViewController> host;
    std::shared_ptr<SignInFlow> signInFlow;
    // Made the popover's window; reaches into it for automation. The host owns it, so
    // that it ends on the main thread.
    std::weak_ptr<WebViewFactory> webViews;
  };

  // `env` must outlive the router and the work it queues.
  explicit HostCallRouter(const Env& env);
  // Calls still waiting for connect() are released, and fail: the extension is going.
  ~HostCallRouter();
  HostCallRouter(const HostCallRouter&) = delete;
  HostCallRouter& operator=(const HostCallRouter&) = delete;

  // Supplies what calls go to; once, right after the connection has started.
  void connect(Parts parts);

  // The calls of ipc::handler, for the connection's onCall. Any thread.
  const ipc::Dispatcher& calls() const { return calls_; }

 private:
  void messageReceived(const Json& args, const ipc::Responder& responder);
  void validateToolbarItem(const Json& args, const ipc::Responder& responder);
  void popoverWillShow(const Json& args, const ipc::Responder& responder);
  void popoverDidClose(const Json& args, const ipc::Responder& responder);
  void messageReceivedFromContainingApp(const Json& args, const ipc::Responder& responder);
  void evaluatePopover(const Json& args, const ipc::Responder& responder);
  void popoverScreenshot(const Json& args, const ipc::Responder& responder);
  void showWebInspector(const Json& args, const ipc::Responder& responder);
  void reloadBackgroundPage(const Json& args, const ipc::Responder& responder);

  // Safari makes handlers on demand; each is stateless, and the first one starts the
  // background page. Absent (with the call failed) while the extension shuts down.
  std::optional<SafariExtensionHandler> makeHandler(const ipc::Responder& responder) const;
  std::shared_ptr<SafariWindow> windowArg(const Json& args) const;
  // Runs `work` with the factory on the main queue, or fails the call when it is gone.
  void onWebViews(const ipc::Responder& responder, std::function<void(WebViewFactory&)> work) const;

  const Env& env_;
  ipc::Dispatcher calls_;
  std::promise<Parts> promise_;
  bool connected_ = false;
  std::shared_future<Parts> parts_;
};

}  // namespace qv
