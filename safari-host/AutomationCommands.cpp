#include "safari-host/AutomationCommands.h"

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>

#include "ipc/Protocol.h"
#include "platform/JsonFields.h"
#include "platform/linux/system/GObjectRef.h"
#include "platform/linux/system/MainContext.h"
#include "safari-host/Browser.h"
#include "safari-host/BrowserWindow.h"
#include "safari-host/ContentScriptApi.h"
#include "safari-host/ExtensionHost.h"
#include "safari-host/ExtensionRegistry.h"
#include "safari-host/Screenshot.h"
#include "safari-host/Tab.h"
#include "safari-host/ToolbarButton.h"

namespace qv::host {
namespace {

constexpr std::int64_t kDefaultLoadTimeoutMs = 30000;

// A string argument the dispatcher has checked is there.
const std::string& text(const Json& args, const char* key) {
  return args[key].get_ref<const std::string&>();
}

Json tabJson(Tab& tab, bool active) {
  return Json{{"tab", tab.ref()},
              {"active", active},
              {"url", tab.url()},
              {"title", tab.title()},
              {"loading", tab.isLoading()}};
}

// The window and extension toolbar item that `args` name. Both null, with `responder`
// failed, when either does not exist.
std::pair<BrowserWindow*, ToolbarButton*> namedToolbarItem(Browser& browser, const Json& args,
                                                           const ipc::Responder& responder) {
  BrowserWindow* window = browser.findWindow(text(args, "window"));
  ToolbarButton* item =
      window != nullptr ? window->toolbarButton(text(args, "extensionIdentifier")) : nullptr;
  if (item == nullptr) {
    responder.fail(window == nullptr ? "no such window" : "no toolbar item for that extension");
    return {nullptr, nullptr};
  }
  return {window, item};
}

}  // namespace

AutomationCommands::AutomationCommands(Browser& browser, ExtensionRegistry& registry,
                                       ExtensionHost& extensions, std::function<void()> quit)
    : browser_(browser), registry_(registry), extensions_(extensions), quit_(std::move(quit)) {}

void AutomationCommands::registerOn(ipc::Dispatcher& dispatcher) {
  namespace control = ipc::control;
  dispatcher.on(control::listWindows, this, &AutomationCommands::listWindows);
  dispatcher.on(control::openWindow, this, &AutomationCommands::openWindow);
  dispatcher.on(control::openTab, this, &AutomationCommands::openTab);
  dispatcher.on(control::activateTab, this, &AutomationCommands::activateTab);
  dispatcher.on(control::waitForLoad, this, &AutomationCommands::waitForLoad);
  dispatcher.on(control::evaluate, this, &AutomationCommands::evaluate);
  dispatcher.on(control::toolbarItem, this, &AutomationCommands::toolbarItem);
  dispatcher.on(control::clickToolbarItem, this, &AutomationCommands::clickToolbarItem);
  dispatcher.on(control::setExtensionEnabled, this, &AutomationCommands::setExtensionEnabled);
  dispatcher.on(control::screenshot, this, &AutomationCommands::screenshot);
  dispatcher.on(control::evaluatePopover, this, &AutomationCommands::evaluatePopover);
  dispatcher.on(control::popoverScreenshot, this, &AutomationCommands::popoverScreenshot);
  dispatcher.on(control::quit, this, &AutomationCommands::quit);
}

void AutomationCommands::listWindows(const Json&, const ipc::Responder& responder) {
  Json windows = Json::array();
  BrowserWindow* activeWindow = browser_.activeWindow();
  for (BrowserWindow* window : browser_.windows()) {
    Json tabs = Json::array();
    Tab* activeTab = window->activeTab();
    for (Tab* tab : window->tabs()) tabs.push_back(tabJson(*tab, tab == activeTab));
    windows.push_back(
        Json{{"window", window->ref()}, {"active", window == activeWindow}, {"tabs", tabs}});
  }
  responder.reply(Json{{"windows", windows}});
}

void AutomationCommands::openWindow(const Json& args, const ipc::Responder& responder) {
  BrowserWindow& window = browser_.openWindow(json::string(args, "url").value_or("about:blank"));
  Tab* tab = window.activeTab();
  responder.reply(Json{{"window", window.ref()}, {"tab", tab != nullptr ? tab->ref() : ""}});
}

void AutomationCommands::openTab(const Json& args, const ipc::Responder& responder) {
  BrowserWindow* window = browser_.findWindow(text(args, "window"));
  if (window == nullptr) {
    responder.fail("no such window");
    return;
  }
  bool makeActive = json::boolean(args, "activate").value_or(true);
  Tab& tab = window->openTab(json::string(args, "url").value_or("about:blank"), makeActive);
  responder.reply(Json{{"tab", tab.ref()}});
}

void AutomationCommands::activateTab(const Json& args, const ipc::Responder& responder) {
  Tab* tab = browser_.findTab(text(args, "tab"));
  if (tab == nullptr) {
    responder.fail("no such tab");
    return;
  }
  BrowserWindow& window = tab->window();
  window.activateTab(*tab);
  window.present();
  browser_.windowActivated(window);
  responder.reply();
}

void AutomationCommands::waitForLoad(const Json& args, const ipc::Responder& responder) {
  Tab* tab = browser_.findTab(text(args, "tab"));
  if (tab == nullptr) {
    responder.fail("no such tab");
    return;
  }
  // Clamped as a double first: converting an out-of-range number is undefined.
  double requested =
      json::number(args, "timeoutMs").value_or(static_cast<double>(kDefaultLoadTimeoutMs));
  auto timeoutMs = static_cast<std::int64_t>(std::clamp(requested, 0.0, 24.0 * 3600 * 1000));
  // Whichever comes first, the load or the deadline, answers; the other finds it done.
  struct Wait {
    ipc::Responder responder;
    std::string tabRef;
    std::uint64_t waiterId = 0;
    unsigned timeoutSource = 0;
    bool done = false;
  };
  auto wait = std::make_shared<Wait>();
  wait->responder = responder;
  wait->tabRef = tab->ref();
  wait->waiterId = tab->whenLoaded([wait](const std::string& url, const std::string& error) {
    if (wait->done) return;
    wait->done = true;
    if (wait->timeoutSource != 0) g_source_remove(wait->timeoutSource);
    if (error.empty()) {
      wait->responder.reply(Json{{"url", url}});
    } else {
      wait->responder.fail(error);
    }
  });
  if (wait->done) return;
  Browser* browser = &browser_;
  struct Timeout {
    std::shared_ptr<Wait> wait;
    Browser* browser;
  };
  wait->timeoutSource = g_timeout_add_full(
      G_PRIORITY_DEFAULT, static_cast<unsigned>(timeoutMs),
      +[](gpointer data) -> gboolean {
        auto* timeout = static_cast<Timeout*>(data);
        std::shared_ptr<Wait> wait = timeout->wait;
        wait->timeoutSource = 0;
        if (wait->done) return G_SOURCE_REMOVE;
        wait->done = true;
        if (Tab* tab = timeout->browser->findTab(wait->tabRef))
          tab->cancelLoadWaiter(wait->waiterId);
        wait->responder.fail("timed out waiting for the load");
        return G_SOURCE_REMOVE;
      },
      new Timeout{wait, browser}, +[](gpointer data) { delete static_cast<Timeout*>(data); });
}

void AutomationCommands::evaluate(const Json& args, const ipc::Responder& responder) {
  Tab* tab = browser_.findTab(text(args, "tab"));
  if (tab == nullptr) {
    responder.fail("no such tab");
    return;
  }
  std::string world = json::string(args, "world").value_or("page");
  std::string worldName;
  if (world == "extension") {
    // The named extension's world, or the first enabled extension's.
    std::optional<std::string> identifier = json::string(args, "extensionIdentifier");
    if (!identifier) {
      auto enabled = registry_.enabledExtensions();
      if (enabled.empty()) {
        responder.fail("no extension is enabled");
        return;
      }
      identifier = enabled.front()->identifier;
    }
    worldName = scriptWorldName(*identifier);
  } else if (world != "page") {
    responder.fail("world must be \"page\" or \"extension\"");
    return;
  }
  tab->evaluate(text(args, "script"), worldName,
                [responder](std::optional<Json> value, std::string error) {
                  if (value) {
                    responder.reply(Json{{"value", std::move(*value)}});
                  } else {
                    responder.fail(error);
                  }
                });
}

void AutomationCommands::toolbarItem(const Json& args, const ipc::Responder& responder) {
  auto [window, item] = namedToolbarItem(browser_, args, responder);
  if (item == nullptr) return;
  std::optional<std::string> imageName = item->imageName();
  responder.reply(Json{{"badgeText", item->badgeText()},
                       {"hasImage", item->hasImage()},
                       {"imageName", imageName ? Json(*imageName) : Json(nullptr)},
                       {"toolbarItem", item->ref()},
                       {"enabled", item->isEnabled()},
                       {"popoverShown", item->popover().shown}});
}

void AutomationCommands::clickToolbarItem(const Json& args, const ipc::Responder& responder) {
  auto [window, item] = namedToolbarItem(browser_, args, responder);
  if (item == nullptr) return;
  if (!item->isEnabled()) {
    responder.fail("the toolbar item is disabled");
    return;
  }
  window->toolbarButtonClicked(*item);
  responder.reply();
}

void AutomationCommands::setExtensionEnabled(const Json& args, const ipc::Responder& responder) {
  const std::string& identifier = text(args, "extensionIdentifier");
  if (!registry_.setEnabled(identifier, *json::boolean(args, "enabled"))) {
    responder.fail("unknown extension: " + identifier);
    return;
  }
  responder.reply();
}

void AutomationCommands::screenshot(const Json& args, const ipc::Responder& responder) {
  BrowserWindow* window = browser_.findWindow(text(args, "window"));
  const std::string& path = text(args, "path");
  if (window == nullptr || path.empty()) {
    responder.fail(window == nullptr ? "no such window" : "path must be a file path");
    return;
  }
  // A page that has just loaded may not have drawn yet: wait until it has.
  Tab* tab = window->activeTab();
  whenDrawn(
      GTK_WIDGET(window->gtkWindow()), tab != nullptr ? WEBKIT_WEB_VIEW(tab->widget()) : nullptr,
      [&browser = browser_, ref = window->ref(), path, responder] {
        BrowserWindow* drawn = browser.findWindow(ref);
        if (drawn == nullptr) return responder.fail("the window closed");
        std::optional<std::string> error = saveScreenshot(GTK_WIDGET(drawn->gtkWindow()), path);
        if (error) return responder.fail(*error);
        responder.reply();
      });
}

void AutomationCommands::evaluatePopover(const Json& args, const ipc::Responder& responder) {
  extensions_.callRunningExtension(text(args, "extensionIdentifier"), ipc::handler::evaluatePopover,
                                   Json{{"script", text(args, "script")}},
                                   [responder](const ipc::Reply& reply) {
                                     if (reply.error) return responder.fail(*reply.error);
                                     responder.reply(Json{{"value", (*reply.result)["value"]}});
                                   });
}

void AutomationCommands::popoverScreenshot(const Json& args, const ipc::Responder& responder) {
  const std::string& path = text(args, "path");
  if (path.empty()) {
    responder.fail("path must be a file path");
    return;
  }
  // The extension's working folder need not be ours: it gets the path we would use.
  GCharPtr absolute(g_canonicalize_filename(path.c_str(), nullptr));
  extensions_.callRunningExtension(text(args, "extensionIdentifier"),
                                   ipc::handler::popoverScreenshot, Json{{"path", absolute.get()}},
                                   [responder](const ipc::Reply& reply) {
                                     if (reply.error) return responder.fail(*reply.error);
                                     responder.reply();
                                   });
}

void AutomationCommands::quit(const Json&, const ipc::Responder& responder) {
  responder.reply();
  postToMain(quit_);
}

}  // namespace qv::host
