#include "safari-host/AutomationCommands.h"

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>

#include "platform/linux/GObjectRef.h"
#include "safari-host/Browser.h"
#include "safari-host/BrowserWindow.h"
#include "safari-host/ContentScriptApi.h"
#include "safari-host/ExtensionHost.h"
#include "safari-host/ExtensionRegistry.h"
#include "safari-host/MainThread.h"
#include "safari-host/Screenshot.h"
#include "safari-host/Tab.h"
#include "safari-host/ToolbarButton.h"

namespace qv::host {
namespace {

constexpr std::int64_t kDefaultLoadTimeoutMs = 30000;
// How long an extension may take over a popover request before the caller hears an error.
constexpr std::chrono::seconds kPopoverAnswerTimeout{10};

std::optional<std::string> stringArg(const Json& args, const char* key) {
  auto it = args.find(key);
  if (it == args.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
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
  BrowserWindow* window = browser.findWindow(stringArg(args, "window").value_or(""));
  ToolbarButton* item =
      window != nullptr ? window->toolbarButton(stringArg(args, "extensionIdentifier").value_or(""))
                        : nullptr;
  if (item == nullptr) {
    responder.fail(window == nullptr ? "no such window" : "no toolbar item for that extension");
    return {nullptr, nullptr};
  }
  return {window, item};
}

}  // namespace

AutomationCommands::AutomationCommands(Browser& browser, ExtensionRegistry& registry,
                                       ExtensionHost& extensions, std::function<void()> quit)
    : browser_(browser), registry_(registry), extensions_(extensions), quit_(std::move(quit)) {
  commands_ = {
      {"automation.listWindows", &AutomationCommands::listWindows},
      {"automation.openWindow", &AutomationCommands::openWindow},
      {"automation.openTab", &AutomationCommands::openTab},
      {"automation.activateTab", &AutomationCommands::activateTab},
      {"automation.waitForLoad", &AutomationCommands::waitForLoad},
      {"automation.evaluate", &AutomationCommands::evaluate},
      {"automation.toolbarItem", &AutomationCommands::toolbarItem},
      {"automation.clickToolbarItem", &AutomationCommands::clickToolbarItem},
      {"automation.setExtensionEnabled", &AutomationCommands::setExtensionEnabled},
      {"automation.screenshot", &AutomationCommands::screenshot},
      {"automation.evaluatePopover", &AutomationCommands::evaluatePopover},
      {"automation.popoverScreenshot", &AutomationCommands::popoverScreenshot},
      {"automation.quit", &AutomationCommands::quit},
  };
}

bool AutomationCommands::handle(const std::string& method, const Json& args,
                                const ipc::Responder& responder) {
  auto it = commands_.find(method);
  if (it == commands_.end()) return false;
  (this->*(it->second))(args, responder);
  return true;
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
  BrowserWindow& window = browser_.openWindow(stringArg(args, "url").value_or("about:blank"));
  Tab* tab = window.activeTab();
  responder.reply(Json{{"window", window.ref()}, {"tab", tab != nullptr ? tab->ref() : ""}});
}

void AutomationCommands::openTab(const Json& args, const ipc::Responder& responder) {
  BrowserWindow* window = browser_.findWindow(stringArg(args, "window").value_or(""));
  if (window == nullptr) {
    responder.fail("no such window");
    return;
  }
  auto activate = args.find("activate");
  bool makeActive = activate == args.end() || !activate->is_boolean() || activate->get<bool>();
  Tab& tab = window->openTab(stringArg(args, "url").value_or("about:blank"), makeActive);
  responder.reply(Json{{"tab", tab.ref()}});
}

void AutomationCommands::activateTab(const Json& args, const ipc::Responder& responder) {
  Tab* tab = browser_.findTab(stringArg(args, "tab").value_or(""));
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
  Tab* tab = browser_.findTab(stringArg(args, "tab").value_or(""));
  if (tab == nullptr) {
    responder.fail("no such tab");
    return;
  }
  std::int64_t timeoutMs = kDefaultLoadTimeoutMs;
  if (auto it = args.find("timeoutMs"); it != args.end() && it->is_number()) {
    timeoutMs = std::clamp<std::int64_t>(it->get<std::int64_t>(), 0, 24 * 3600 * 1000);
  }
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
  Tab* tab = browser_.findTab(stringArg(args, "tab").value_or(""));
  std::optional<std::string> script = stringArg(args, "script");
  if (tab == nullptr || !script) {
    responder.fail(tab == nullptr ? "no such tab" : "script must be a string");
    return;
  }
  std::string world = stringArg(args, "world").value_or("page");
  std::string worldName;
  if (world == "extension") {
    // The named extension's world, or the first enabled extension's.
    std::optional<std::string> identifier = stringArg(args, "extensionIdentifier");
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
  tab->evaluate(*script, worldName, [responder](std::optional<Json> value, std::string error) {
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
  std::optional<std::string> identifier = stringArg(args, "extensionIdentifier");
  auto enabled = args.find("enabled");
  if (!identifier || enabled == args.end() || !enabled->is_boolean()) {
    responder.fail("needs extensionIdentifier (string) and enabled (bool)");
    return;
  }
  if (!registry_.setEnabled(*identifier, enabled->get<bool>())) {
    responder.fail("unknown extension: " + *identifier);
    return;
  }
  responder.reply();
}

void AutomationCommands::screenshot(const Json& args, const ipc::Responder& responder) {
  BrowserWindow* window = browser_.findWindow(stringArg(args, "window").value_or(""));
  std::optional<std::string> path = stringArg(args, "path");
  if (window == nullptr || !path || path->empty()) {
    responder.fail(window == nullptr ? "no such window" : "path must be a file path");
    return;
  }
  // A page that has just loaded may not have drawn yet: wait until it has.
  Tab* tab = window->activeTab();
  whenDrawn(
      GTK_WIDGET(window->gtkWindow()), tab != nullptr ? WEBKIT_WEB_VIEW(tab->widget()) : nullptr,
      [&browser = browser_, ref = window->ref(), path = *path, responder] {
        BrowserWindow* drawn = browser.findWindow(ref);
        if (drawn == nullptr) return responder.fail("the window closed");
        std::optional<std::string> error = saveScreenshot(GTK_WIDGET(drawn->gtkWindow()), path);
        if (error) return responder.fail(*error);
        responder.reply();
      });
}

void AutomationCommands::evaluatePopover(const Json& args, const ipc::Responder& responder) {
  std::optional<std::string> identifier = stringArg(args, "extensionIdentifier");
  std::optional<std::string> script = stringArg(args, "script");
  if (!identifier || !script) {
    responder.fail("needs extensionIdentifier and script (strings)");
    return;
  }
  extensions_.callRunningExtension(
      *identifier, "automation.evaluatePopover", Json{{"script", *script}}, kPopoverAnswerTimeout,
      [responder](const ipc::Reply& reply) {
        if (!reply.result) {
          responder.fail(reply.error.value_or("no answer"));
          return;
        }
        const Json& result = *reply.result;
        auto value = result.is_object() ? result.find("value") : result.end();
        if (value == result.end()) {
          responder.fail("the extension answered without a value");
          return;
        }
        responder.reply(Json{{"value", *value}});
      });
}

void AutomationCommands::popoverScreenshot(const Json& args, const ipc::Responder& responder) {
  std::optional<std::string> identifier = stringArg(args, "extensionIdentifier");
  std::optional<std::string> path = stringArg(args, "path");
  if (!identifier || !path || path->empty()) {
    responder.fail("needs extensionIdentifier and path (strings)");
    return;
  }
  // The extension's working folder need not be ours: it gets the path we would use.
  GCharPtr absolute(g_canonicalize_filename(path->c_str(), nullptr));
  extensions_.callRunningExtension(*identifier, "automation.popoverScreenshot",
                                   Json{{"path", absolute.get()}}, kPopoverAnswerTimeout,
                                   [responder](const ipc::Reply& reply) {
                                     if (reply.result) {
                                       responder.reply();
                                     } else {
                                       responder.fail(reply.error.value_or("no answer"));
                                     }
                                   });
}

void AutomationCommands::quit(const Json&, const ipc::Responder& responder) {
  responder.reply();
  postToMain(quit_);
}

}  // namespace qv::host
