// Quorvane_Safari_Extension: the extension process. safari-host starts it with one end
// of a socket pair (--ipc-fd=N) and plays Safari over it; the process runs until that
// connection closes.

#include <fcntl.h>
#include <glib.h>
#include <gtk/gtk.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "SafariExtension/CompanionHandOffPoll.h"
#include "SafariExtension/Env.h"
#include "SafariExtension/ExtensionPlatform.h"
#include "SafariExtension/OAuthSignInFlow.h"
#include "SafariExtension/PageRegistry.h"
#include "SafariExtension/SafariExtensionHandler.h"
#include "SafariExtension/SafariExtensionSettingPopupViewController.h"
#include "SafariExtension/SafariExtensionViewController.h"
#include "platform/linux/IpcConnection.h"
#include "platform/linux/IpcSafari.h"
#include "platform/linux/LinuxBundle.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/WebKitWebView.h"

namespace qv {
namespace {

constexpr std::string_view fdOption = "--ipc-fd=";

int usage(const char* program) {
  std::fprintf(stderr, "usage: %s --ipc-fd=N\n", program);
  return 2;
}

// The descriptor named by the only argument; absent when the arguments are anything else.
std::optional<int> parseIpcFd(int argc, char** argv) {
  if (argc != 2) return std::nullopt;
  std::string_view argument = argv[1];
  if (argument.substr(0, fdOption.size()) != fdOption) return std::nullopt;
  std::string_view digits = argument.substr(fdOption.size());
  int fd = -1;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), fd);
  if (error != std::errc() || end != digits.data() + digits.size() || fd < 0) return std::nullopt;
  return fd;
}

// The service hosts whose certificates a development bundle's authorities may sign.
std::optional<WebKitWebViewFactory::DevelopmentTrust> developmentTrust(const Env& env) {
  std::optional<std::string> caPath = deploymentCaCertificatesPath(*env.platform.mainBundle);
  if (!caPath) return std::nullopt;
  const Deployment& deployment = env.deployment;
  return WebKitWebViewFactory::DevelopmentTrust{
      *caPath,
      {deployment.bareDomain, deployment.webOriginHost(), deployment.authHost,
       deployment.analyticsHost, deployment.logHost}};
}

std::optional<std::string> stringArg(const Json& args, const char* key) {
  auto it = args.find(key);
  if (it == args.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// User info as the handler takes it: absent when missing or null.
std::optional<Json> userInfoArg(const Json& args) {
  auto it = args.find("userInfo");
  if (it == args.end() || it->is_null()) return std::nullopt;
  return *it;
}

// What a call needs that only exists once the connection has started.
struct Wiring {
  std::weak_ptr<ipc::Connection> connection;
  std::shared_ptr<SafariApplication> application;
  std::shared_ptr<PageRegistry> registry;
  // main owns the host, so that it ends on the main thread whatever the reader does.
  std::weak_ptr<SharedViewController> host;
  std::shared_ptr<SignInFlow> signInFlow;
  // Made the popover's window; reaches into it for automation. The host owns it, so that
  // it ends on the main thread.
  std::weak_ptr<WebKitWebViewFactory> webViews;
};

// Turns safari-host's calls into SafariExtensionHandler calls. Runs on the connection's
// reader thread, the thread Safari would choose; the handler hops to the main queue
// itself for everything that needs it.
class HostCallRouter {
 public:
  HostCallRouter(const Env& env, std::shared_future<Wiring> wiring)
      : env_(env), wiring_(std::move(wiring)) {}

  void onCall(const std::string& method, const Json& args, const ipc::Responder& responder) {
    const Wiring& wiring = wiring_.get();  // set right after the connection starts
    std::shared_ptr<SharedViewController> host = wiring.host.lock();
    if (!host) return responder.fail("the extension is shutting down");
    if (method == "handler.messageReceived") {
      std::optional<std::string> name = stringArg(args, "name");
      std::optional<std::string> page = stringArg(args, "page");
      if (!name || !page) return responder.fail("messageReceived needs a name and a page");
      makeHandler(wiring, host)
          .messageReceived(*name, std::make_shared<IpcSafariPage>(wiring.connection, *page),
                           userInfoArg(args));
      return responder.reply();
    }
    if (method == "handler.validateToolbarItem") {
      // The item is validated even with no window to name.
      std::optional<std::string> window = stringArg(args, "window");
      makeHandler(wiring, host)
          .validateToolbarItem(
              window ? std::make_shared<IpcSafariWindow>(wiring.connection, *window) : nullptr,
              [responder](bool enabled, const std::string& badgeText) {
                responder.reply(Json{{"enabled", enabled}, {"badgeText", badgeText}});
              });
      return;
    }
    if (method == "handler.messageReceivedFromContainingApp") {
      makeHandler(wiring, host)
          .messageReceivedFromContainingApp(stringArg(args, "name").value_or(""),
                                            userInfoArg(args));
      return responder.reply();
    }
    if (method == "handler.popoverWillShow" || method == "handler.popoverDidClose") {
      // safari-host cannot embed our view, so we show the popover's window ourselves.
      std::optional<std::string> window = stringArg(args, "window");
      auto safariWindow =
          window ? std::make_shared<IpcSafariWindow>(wiring.connection, *window) : nullptr;
      SafariExtensionHandler handler = makeHandler(wiring, host);
      if (method == "handler.popoverWillShow") {
        handler.popoverWillShow(std::move(safariWindow));
      } else {
        handler.popoverDidClose(std::move(safariWindow));
      }
      return responder.reply();
    }
    if (method == "automation.evaluatePopover" || method == "automation.popoverScreenshot") {
      return automatePopover(wiring, method, args, responder);
    }
    responder.fail("unknown method " + method);
  }

 private:
  // Automation for tests and demos: the popover's page lives in this process, out of the
  // browser's reach, so the browser passes these on. WebKit is touched on the main thread.
  void automatePopover(const Wiring& wiring, const std::string& method, const Json& args,
                       const ipc::Responder& responder) const {
    std::weak_ptr<WebKitWebViewFactory> webViews = wiring.webViews;
    if (method == "automation.evaluatePopover") {
      std::optional<std::string> script = stringArg(args, "script");
      if (!script) return responder.fail("evaluatePopover needs a script");
      env_.platform.mainQueue->async([webViews, script = std::move(*script), responder] {
        auto factory = webViews.lock();
        if (!factory) return responder.fail("the extension is shutting down");
        factory->evaluateInShownPopover(
            script, [responder](std::optional<Json> value, const std::string& error) {
              if (!value) return responder.fail(error);
              responder.reply(Json{{"value", std::move(*value)}});
            });
      });
      return;
    }
    std::optional<std::string> path = stringArg(args, "path");
    if (!path || path->empty()) return responder.fail("popoverScreenshot needs a path");
    env_.platform.mainQueue->async([webViews, path = std::move(*path), responder] {
      auto factory = webViews.lock();
      if (!factory) return responder.fail("the extension is shutting down");
      factory->snapshotShownPopover(path, [responder](std::optional<std::string> error) {
        if (error) return responder.fail(*error);
        responder.reply();
      });
    });
  }

  // Safari makes handlers on demand; each is stateless, and the first one starts the
  // background page.
  SafariExtensionHandler makeHandler(const Wiring& wiring,
                                     std::shared_ptr<SharedViewController> host) const {
    return SafariExtensionHandler(env_, wiring.application, wiring.registry, std::move(host),
                                  wiring.signInFlow);
  }

  const Env& env_;
  std::shared_future<Wiring> wiring_;
};

int run(int argc, char** argv) {
  std::optional<int> fd = parseIpcFd(argc, argv);
  if (!fd) return usage(argv[0]);
  int flags = fcntl(*fd, F_GETFD);
  if (flags < 0) {
    std::fprintf(stderr, "%s: descriptor %d is not open\n", argv[0], *fd);
    return 2;
  }
  // WebKit's helper processes must not hold the connection open after we are gone.
  fcntl(*fd, F_SETFD, flags | FD_CLOEXEC);

  std::shared_ptr<LinuxBundle> bundle = LinuxBundle::main();
  if (bundle) {
    // WebKit keeps the persistent data store under the program name.
    if (auto identifier = bundle->bundleIdentifier()) g_set_prgname(identifier->c_str());
  }
  if (!gtk_init_check()) {
    std::fprintf(stderr, "%s: cannot open a display\n", argv[0]);
    return 1;
  }

  EnvCommon::installPlatform(makeLinuxPlatform(bundle));
  Env& env = Env::shared();  // stops the process when the bundle is broken
  std::shared_ptr<MainQueue> mainQueue = env.platform.mainQueue;

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  std::promise<Wiring> wiringPromise;
  auto router = std::make_shared<HostCallRouter>(env, wiringPromise.get_future().share());

  ipc::Connection::Handlers handlers;
  handlers.onCall = [router](const std::string& method, const Json& args,
                             ipc::Responder responder) { router->onCall(method, args, responder); };
  handlers.onProtocolError = [&env](const std::string& description) {
    std::fprintf(stderr, "Quorvane_Safari_Extension: protocol error: %s\n", description.c_str());
    env.platform.systemLog->error("Error: ipc: " + description);
  };
  // Through the main queue, so that a close before the loop runs still ends it.
  handlers.onClose = [mainQueue, loop] { mainQueue->async([loop] { g_main_loop_quit(loop); }); };
  std::shared_ptr<ipc::Connection> connection = ipc::Connection::start(*fd, std::move(handlers));

  Wiring wiring;
  wiring.connection = connection;
  wiring.application = std::make_shared<IpcSafariApplication>(connection);
  wiring.registry = std::make_shared<PageRegistry>();
  auto webViews = std::make_shared<WebKitWebViewFactory>(developmentTrust(env));
  wiring.webViews = webViews;
  auto host = std::make_shared<SharedViewController>(
      env, ExtensionPlatform{wiring.application, std::move(webViews)}, wiring.registry);
  wiring.host = host;
  // The sign-in flow reaches the host weakly: the host holds the flow among its hooks.
  auto signInFlow = std::make_shared<OAuthSignInFlow>(
      env, wiring.application, [weakHost = std::weak_ptr(host)](std::string call) {
        if (auto shared = weakHost.lock()) shared->instance().callBackgroundPage(std::move(call));
      });
  auto handOffPoll = std::make_shared<CompanionHandOffPoll>(env.sharedData, signInFlow);
  host->setHooks(BackgroundPageHooks{signInFlow,
                                     std::make_shared<SafariExtensionSettingPopupViewController>(
                                         env, wiring.application, signInFlow),
                                     [handOffPoll] { handOffPoll->run(); }});
  wiring.signInFlow = signInFlow;
  wiringPromise.set_value(std::move(wiring));

  g_main_loop_run(loop);

  // No call comes after the close, so the background page ends here, on its own thread.
  host.reset();
  // The reader releases its reference as it finishes; waiting for that lets the last
  // reference go here, which joins the thread before the process tears down.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (connection.use_count() > 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  connection.reset();
  g_main_loop_unref(loop);
  return 0;
}

}  // namespace
}  // namespace qv

int main(int argc, char** argv) {
  return qv::run(argc, argv);
}
