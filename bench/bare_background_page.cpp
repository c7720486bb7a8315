// The yardstick for the extension's start-up and memory: WebKit alone showing the
// background page. One hidden web view in a process of its own loads the same template
// with the same init-args script, background script and script-message handlers as the
// extension does; nothing else runs.
//
//   bare_background_page --resources=DIR --base-url=URL [--ca=PEM --trust-host=HOST]
//
// DIR holds bg_index.html and Quorvane-bg.js (an extension bundle's Contents/Resources).
// With --ca, HOST's certificate is checked against PEM first, as a development bundle's
// extension does. Prints "ready <steady-clock microseconds>" once the page posts "ready",
// then idles until SIGTERM or SIGINT.

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "SafariExtension/BridgeFormats.h"
#include "platform/linux/system/Files.h"
#include "platform/linux/webkit/WebKitWebView.h"

namespace {

struct Options {
  std::string resources;
  std::string baseUrl;
  std::optional<qv::WebKitWebViewFactory::DevelopmentTrust> trust;
};

std::optional<Options> parse(int argc, char** argv) {
  Options options;
  std::string ca;
  std::vector<std::string> hosts;
  for (int index = 1; index < argc; ++index) {
    std::string_view arg = argv[index];
    auto value = [&](std::string_view prefix) -> std::optional<std::string> {
      if (arg.substr(0, prefix.size()) != prefix) return std::nullopt;
      return std::string(arg.substr(prefix.size()));
    };
    if (auto resources = value("--resources=")) {
      options.resources = *resources;
    } else if (auto url = value("--base-url=")) {
      options.baseUrl = *url;
    } else if (auto pem = value("--ca=")) {
      ca = *pem;
    } else if (auto host = value("--trust-host=")) {
      hosts.push_back(*host);
    } else {
      return std::nullopt;
    }
  }
  if (options.resources.empty() || options.baseUrl.empty()) return std::nullopt;
  if (!ca.empty()) options.trust = qv::WebKitWebViewFactory::DevelopmentTrust{ca, hosts};
  return options;
}

std::optional<std::string> resource(const Options& options, const char* name) {
  std::string path = options.resources + "/" + name;
  std::optional<std::string> text = qv::files::read(path, 16 << 20);
  if (!text) std::fprintf(stderr, "bare_background_page: cannot read %s\n", path.c_str());
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<Options> options = parse(argc, argv);
  if (!options) {
    std::fprintf(stderr,
                 "usage: bare_background_page --resources=DIR --base-url=URL [--ca=PEM "
                 "--trust-host=HOST]...\n");
    return 2;
  }
  if (!gtk_init_check()) {
    std::fprintf(stderr, "bare_background_page: cannot open a display\n");
    return 1;
  }
  std::optional<std::string> page = resource(*options, "bg_index.html");
  std::optional<std::string> script = resource(*options, "Quorvane-bg.js");
  std::optional<std::string> initArgs = qv::bridge::bgInitArgsScript(std::nullopt);
  if (!page || !script || !initArgs) return 1;

  qv::WebKitWebViewFactory factory(options->trust);
  std::unique_ptr<qv::WebView> view = factory.makeHiddenWebView();
  if (!view) {
    std::fprintf(stderr, "bare_background_page: no web view\n");
    return 1;
  }
  for (qv::BackgroundHandler handler : qv::allBackgroundHandlers) {
    bool isReady = handler == qv::BackgroundHandler::ready;
    view->addScriptMessageHandler(std::string(qv::toString(handler)), [isReady](const qv::Json&) {
      if (!isReady) return;
      auto now = std::chrono::steady_clock::now();
      std::printf("ready %.0f\n",
                  std::chrono::duration<double, std::micro>(now.time_since_epoch()).count());
      std::fflush(stdout);
    });
  }
  view->addUserScript(*initArgs);
  view->addUserScript(*script);
  view->loadHtmlString(*page, options->baseUrl);

  GMainLoop* loop = g_main_loop_new(nullptr, false);
  auto quit = +[](gpointer data) -> gboolean {
    g_main_loop_quit(static_cast<GMainLoop*>(data));
    return G_SOURCE_REMOVE;
  };
  g_unix_signal_add(SIGTERM, quit, loop);
  g_unix_signal_add(SIGINT, quit, loop);
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  return 0;
}
