// Quorvane_Safari_Extension: the extension process. safari-host starts it with one end
// of a socket pair (--ipc-fd=N) and plays Safari over it; the process runs until that
// connection closes. A browser that traces passes --trace=FILE as well: this process
// writes its part of the trace there.

#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <gtk/gtk.h>
#include <signal.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "SafariExtension/CompanionHandOffPoll.h"
#include "SafariExtension/Env.h"
#include "SafariExtension/ExtensionPlatform.h"
#include "SafariExtension/HostCallRouter.h"
#include "SafariExtension/OAuthSignInFlow.h"
#include "SafariExtension/PageRegistry.h"
#include "SafariExtension/SafariExtensionHandler.h"
#include "SafariExtension/SafariExtensionSettingPopupViewController.h"
#include "SafariExtension/SafariExtensionViewController.h"
#include "ipc/Connection.h"
#include "platform/linux/common/LinuxPlatform.h"
#include "platform/linux/safari/IpcSafari.h"
#include "platform/linux/system/LinuxBundle.h"
#include "platform/linux/system/Trace.h"
#include "platform/linux/webkit/WebKitLaunchFailure.h"
#include "platform/linux/webkit/WebKitWebView.h"

namespace qv {
namespace {

constexpr std::string_view fdOption = "--ipc-fd=";
constexpr std::string_view traceOption = "--trace=";

int usage(const char* program) {
  std::fprintf(stderr, "usage: %s --ipc-fd=N [--trace=FILE]\n", program);
  return 2;
}

struct Arguments {
  int fd = -1;
  std::optional<std::string> tracePath;
};

// The descriptor, and the trace file when there is one; absent when the arguments are
// anything else.
std::optional<Arguments> parseArguments(int argc, char** argv) {
  if (argc != 2 && argc != 3) return std::nullopt;
  std::string_view argument = argv[1];
  if (argument.substr(0, fdOption.size()) != fdOption) return std::nullopt;
  std::string_view digits = argument.substr(fdOption.size());
  Arguments parsed;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed.fd);
  if (error != std::errc() || end != digits.data() + digits.size() || parsed.fd < 0) {
    return std::nullopt;
  }
  if (argc == 3) {
    std::string_view trace = argv[2];
    if (trace.substr(0, traceOption.size()) != traceOption || trace.size() == traceOption.size()) {
      return std::nullopt;
    }
    parsed.tracePath = std::string(trace.substr(traceOption.size()));
  }
  return parsed;
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

int run(int argc, char** argv) {
  std::optional<Arguments> arguments = parseArguments(argc, argv);
  if (!arguments) return usage(argv[0]);
  // A trace that cannot be written is said on stderr; the extension runs all the same.
  if (arguments->tracePath) trace::start(*arguments->tracePath, "extension");
  int fd = arguments->fd;
  int flags = fcntl(fd, F_GETFD);
  if (flags < 0) {
    std::fprintf(stderr, "%s: descriptor %d is not open\n", argv[0], fd);
    return 2;
  }
  // WebKit's helper processes must not hold the connection open after we are gone.
  fcntl(fd, F_SETFD, flags | FD_CLOEXEC);

  std::shared_ptr<LinuxBundle> bundle = LinuxBundle::main();
  if (bundle) {
    // WebKit keeps the persistent data store under the program name.
    if (auto identifier = bundle->bundleIdentifier()) g_set_prgname(identifier->c_str());
  }
  if (!gtk_init_check()) {
    std::fprintf(stderr, "%s: cannot open a display\n", argv[0]);
    return 1;
  }
  // Start-up milestones in the trace: where a cold start spends its time.
  trace::mark("display open");

  EnvCommon::installPlatform(makeLinuxPlatform(bundle));
  Env& env = Env::shared();  // stops the process when the bundle is broken
  trace::mark("platform ready");
  std::shared_ptr<MainQueue> mainQueue = env.platform.mainQueue;

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  HostCallRouter router(env);

  ipc::Connection::Handlers handlers;
  handlers.onCall = [&router](const std::string& method, const Json& args,
                              ipc::Responder responder) {
    router.calls().dispatch(method, args, responder);
  };
  handlers.onProtocolError = [&env](const std::string& description) {
    std::fprintf(stderr, "Quorvane_Safari_Extension: protocol error: %s\n", description.c_str());
    env.platform.systemLog->error("Error: ipc: " + description);
  };
  handlers.onNotice = [&env](const std::string& description) {
    env.platform.systemLog->error("Error: ipc: " + description);
  };
  // Through the main queue, so that a close before the loop runs still ends it.
  handlers.onClose = [mainQueue, loop] { mainQueue->async([loop] { g_main_loop_quit(loop); }); };
  std::shared_ptr<ipc::Connection> connection = ipc::Connection::start(fd, std::move(handlers));

  HostCallRouter::Parts parts;
  parts.application = std::make_shared<IpcSafariApplication>(connection);
  parts.page = [weak = std::weak_ptr(connection)](const std::string& ref) {
    return std::make_shared<IpcSafariPage>(weak, ref);
  };
  parts.window = [weak = std::weak_ptr(connection)](const std::string& ref) {
    return std::make_shared<IpcSafariWindow>(weak, ref);
  };
  parts.registry = std::make_shared<PageRegistry>();
  auto webViews = std::make_shared<WebKitWebViewFactory>(developmentTrust(env));
  parts.webViews = webViews;
  auto host = std::make_shared<SharedViewController>(
      env, ExtensionPlatform{parts.application, std::move(webViews)}, parts.registry);
  parts.host = host;
  // The sign-in flow reaches the host weakly: the host holds the flow among its hooks.
  auto signInFlow = std::make_shared<OAuthSignInFlow>(
      env, parts.application, [weakHost = std::weak_ptr(host)](std::string call) {
        if (auto shared = weakHost.lock()) shared->instance().callBackgroundPage(std::move(call));
      });
  auto handOffPoll = std::make_shared<CompanionHandOffPoll>(env.sharedData, signInFlow);
  host->setHooks(BackgroundPageHooks{signInFlow,
                                     std::make_shared<SafariExtensionSettingPopupViewController>(
                                         env, parts.application, signInFlow),
                                     [handOffPoll] { handOffPoll->run(); }});
  parts.signInFlow = signInFlow;
  router.connect(std::move(parts));

  // safari-host ends its extensions with SIGTERM as it closes their connections: leave
  // the way a closed connection does, so that what ends with the process (its trace) is
  // written.
  g_unix_signal_add(
      SIGTERM,
      +[](gpointer data) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(data));
        return G_SOURCE_REMOVE;
      },
      loop);
  g_main_loop_run(loop);
  // Written now, not at exit: a process whose teardown outlasts safari-host's grace is
  // killed, and would lose it.
  trace::stop();

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
  qv::reportWebKitLaunchFailures("Quorvane_Safari_Extension");
  return qv::run(argc, argv);
}
