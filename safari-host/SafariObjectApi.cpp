#include "safari-host/SafariObjectApi.h"

#include "ipc/Protocol.h"
#include "platform/Base64.h"
#include "platform/JsonFields.h"
#include "safari-host/Browser.h"
#include "safari-host/BrowserWindow.h"
#include "safari-host/ExtensionInfo.h"
#include "safari-host/Log.h"
#include "safari-host/Tab.h"
#include "safari-host/ToolbarButton.h"

namespace qv::host {
namespace {

namespace browser = ipc::browser;
using Args = const Json&;

// A toolbar image is an icon; anything this large is not one.
constexpr std::size_t kMaxImageBase64 = 8 * 1024 * 1024;

// A reference argument: anything but a string names nothing.
std::string ref(Args args, const char* key) {
  return json::string(args, key).value_or("");
}

// A string argument the dispatcher has checked is there.
const std::string& text(Args args, const char* key) {
  return args[key].get_ref<const std::string&>();
}

Json refOrNull(const std::string* ref) {
  return ref != nullptr ? Json(*ref) : Json(nullptr);
}

// A handler that answers with what `method` returns.
ipc::Dispatcher::Handler answering(std::function<Json(Args)> method) {
  return [method = std::move(method)](Args args, const ipc::Responder& responder) {
    responder.reply(method(args));
  };
}

}  // namespace

std::shared_ptr<const ipc::Dispatcher> SafariObjectApi::callsOf(
    std::shared_ptr<const ExtensionInfo> extension) {
  const std::string identifier = extension->identifier;
  auto calls = std::make_shared<ipc::Dispatcher>(
      browser::methods, [identifier](const std::string& method, const ipc::Error& error) {
        logError("extension " + identifier + " called " + method + ": " + error.message);
      });
  Browser& b = browser_;
  auto window = [&b](Args args) { return b.findWindow(ref(args, "window")); };
  auto tab = [&b](Args args) { return b.findTab(ref(args, "tab")); };
  auto ownItem = [&b, identifier](Args args) -> ToolbarButton* {
    ToolbarButton* item = b.findToolbarItem(ref(args, "toolbarItem"));
    return item != nullptr && item->extension().identifier == identifier ? item : nullptr;
  };

  calls->on(browser::applicationGetActiveWindow, answering([&b](Args) {
              BrowserWindow* active = b.activeWindow();
              return Json{{"window", refOrNull(active != nullptr ? &active->ref() : nullptr)}};
            }));
  calls->on(browser::applicationGetAllWindows, answering([&b](Args) {
              Json refs = Json::array();
              for (BrowserWindow* open : b.windows()) refs.push_back(open->ref());
              return Json{{"windows", refs}};
            }));
  calls->on(browser::applicationOpenWindow, answering([&b](Args args) {
              return Json{{"window", b.openWindow(text(args, "url")).ref()}};
            }));
  calls->on(browser::windowOpenTab, answering([window](Args args) {
              BrowserWindow* target = window(args);
              if (target == nullptr) return Json{{"tab", nullptr}};
              bool activate = json::boolean(args, "makeActiveIfPossible").value_or(false);
              return Json{{"tab", target->openTab(text(args, "url"), activate).ref()}};
            }));
  calls->on(browser::windowGetAllTabs, answering([window](Args args) {
              Json refs = Json::array();
              if (BrowserWindow* target = window(args)) {
                for (Tab* each : target->tabs()) refs.push_back(each->ref());
              }
              return Json{{"tabs", refs}};
            }));
  calls->on(browser::windowGetActiveTab, answering([window](Args args) {
              BrowserWindow* target = window(args);
              Tab* active = target != nullptr ? target->activeTab() : nullptr;
              return Json{{"tab", refOrNull(active != nullptr ? &active->ref() : nullptr)}};
            }));
  calls->on(browser::windowGetToolbarItem, answering([window, identifier](Args args) {
              BrowserWindow* target = window(args);
              ToolbarButton* item = target != nullptr ? target->toolbarButton(identifier) : nullptr;
              return Json{{"toolbarItem", refOrNull(item != nullptr ? &item->ref() : nullptr)}};
            }));
  calls->on(browser::windowClose, answering([window](Args args) {
              if (BrowserWindow* target = window(args)) target->close();
              return Json::object();
            }));
  calls->on(browser::tabGetPages, answering([tab](Args args) {
              Json refs = Json::array();
              Tab* target = tab(args);
              if (target != nullptr && target->pageRef()) refs.push_back(*target->pageRef());
              return Json{{"pages", refs}};
            }));
  calls->on(browser::tabGetActivePage, answering([tab](Args args) {
              Tab* target = tab(args);
              const std::string* page =
                  target != nullptr && target->pageRef() ? &*target->pageRef() : nullptr;
              return Json{{"page", refOrNull(page)}};
            }));
  calls->on(
      browser::tabGetContainingWindow, answering([tab](Args args) {
        Tab* target = tab(args);
        return Json{{"window", refOrNull(target != nullptr ? &target->window().ref() : nullptr)}};
      }));
  calls->on(browser::tabNavigate, answering([tab](Args args) {
              if (Tab* target = tab(args)) target->load(text(args, "url"));
              return Json::object();
            }));
  calls->on(browser::tabClose, answering([tab](Args args) {
              if (Tab* target = tab(args)) target->window().closeTab(*target);
              return Json::object();
            }));
  calls->on(browser::pageGetProperties, answering([&b](Args args) {
              Tab* shown = b.findPage(ref(args, "page"));
              if (shown == nullptr) return Json{{"properties", nullptr}};
              const std::string& url = shown->pageUrl();
              std::string title = shown->title();
              return Json{{"properties",
                           {{"url", url.empty() ? Json(nullptr) : Json(url)},
                            {"title", title.empty() ? Json(nullptr) : Json(title)},
                            {"usesPrivateBrowsing", false}}}};
            }));
  calls->on(browser::pageDispatchMessageToScript, answering([&b, identifier](Args args) {
              std::string page = ref(args, "page");
              if (Tab* shown = b.findPage(page)) {
                shown->dispatchMessageToScript(page, identifier, text(args, "name"),
                                               args.value("userInfo", Json(nullptr)));
              }
              return Json::object();
            }));
  calls->on(browser::toolbarItemSetImage, answering([ownItem, identifier](Args args) {
              ToolbarButton* item = ownItem(args);
              if (item == nullptr) return Json::object();
              const Json* image = json::member(args, "image");
              if (image == nullptr || image->is_null()) {
                item->resetImage();
                return Json::object();
              }
              std::optional<std::string> png =
                  base64Decode(json::string(*image, "png").value_or(""), kMaxImageBase64);
              if (png && (png->empty() || !item->setImage(*png))) {
                logError("extension " + identifier + " set a toolbar image that does not decode");
              }
              return Json::object();
            }));
  calls->on(browser::toolbarItemSetBadgeText, answering([ownItem](Args args) {
              if (ToolbarButton* item = ownItem(args)) {
                item->setBadgeText(json::string(args, "text").value_or(""));
              }
              return Json::object();
            }));
  calls->on(browser::popoverDismiss, answering([&b, identifier](Args) {
              for (BrowserWindow* open : b.windows()) open->popoverDismissed(identifier);
              return Json::object();
            }));
  return calls;
}

}  // namespace qv::host
