#include "safari-host/SafariObjectApi.h"

#include <openssl/evp.h>

#include "safari-host/Browser.h"
#include "safari-host/BrowserWindow.h"
#include "safari-host/ExtensionInfo.h"
#include "safari-host/Log.h"
#include "safari-host/Tab.h"
#include "safari-host/ToolbarButton.h"

namespace qv::host {
namespace {

// A toolbar image is an icon; anything this large is not one.
constexpr std::size_t kMaxImageBase64 = 8 * 1024 * 1024;

std::string stringArg(const Json& args, const char* key) {
  auto it = args.find(key);
  return (it != args.end() && it->is_string()) ? it->get<std::string>() : std::string();
}

std::optional<std::string> optionalStringArg(const Json& args, const char* key) {
  auto it = args.find(key);
  if (it == args.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

bool boolArg(const Json& args, const char* key, bool fallback) {
  auto it = args.find(key);
  return (it != args.end() && it->is_boolean()) ? it->get<bool>() : fallback;
}

Json refOrNull(const std::string* ref) {
  return ref != nullptr ? Json(*ref) : Json(nullptr);
}

std::optional<std::string> decodeBase64(const std::string& text) {
  if (text.size() > kMaxImageBase64) return std::nullopt;
  std::string out(text.size() / 4 * 3 + 3, '\0');
  EVP_ENCODE_CTX* context = EVP_ENCODE_CTX_new();
  if (context == nullptr) return std::nullopt;
  EVP_DecodeInit(context);
  int written = 0;
  int finalWritten = 0;
  bool ok = EVP_DecodeUpdate(context, reinterpret_cast<unsigned char*>(out.data()), &written,
                             reinterpret_cast<const unsigned char*>(text.data()),
                             static_cast<int>(text.size())) >= 0 &&
            EVP_DecodeFinal(context, reinterpret_cast<unsigned char*>(out.data()) + written,
                            &finalWritten) == 1;
  EVP_ENCODE_CTX_free(context);
  if (!ok) return std::nullopt;
  out.resize(static_cast<std::size_t>(written + finalWritten));
  return out;
}

}  // namespace

SafariObjectApi::SafariObjectApi(Browser& browser) : browser_(browser) {
  addMethods();
}

void SafariObjectApi::handle(const ExtensionInfo& extension, const std::string& method,
                             const Json& args, const ipc::Responder& responder) {
  auto it = methods_.find(method);
  if (it == methods_.end()) {
    logError("extension " + extension.identifier + " called unknown method " + method);
    responder.fail("unknown method: " + method);
    return;
  }
  responder.reply(it->second(extension, args));
}

void SafariObjectApi::addMethods() {
  Browser& browser = browser_;
  auto window = [&browser](const Json& args) {
    return browser.findWindow(stringArg(args, "window"));
  };
  auto tab = [&browser](const Json& args) { return browser.findTab(stringArg(args, "tab")); };

  methods_["application.getActiveWindow"] = [&browser](const ExtensionInfo&, const Json&) {
    BrowserWindow* active = browser.activeWindow();
    return Json{{"window", refOrNull(active != nullptr ? &active->ref() : nullptr)}};
  };
  methods_["application.getAllWindows"] = [&browser](const ExtensionInfo&, const Json&) {
    Json refs = Json::array();
    for (BrowserWindow* open : browser.windows()) refs.push_back(open->ref());
    return Json{{"windows", refs}};
  };
  methods_["application.openWindow"] = [&browser](const ExtensionInfo&, const Json& args) {
    std::optional<std::string> url = optionalStringArg(args, "url");
    if (!url) return Json{{"window", nullptr}};
    return Json{{"window", browser.openWindow(*url).ref()}};
  };
  methods_["window.openTab"] = [window](const ExtensionInfo&, const Json& args) {
    BrowserWindow* target = window(args);
    std::optional<std::string> url = optionalStringArg(args, "url");
    if (target == nullptr || !url) return Json{{"tab", nullptr}};
    Tab& opened = target->openTab(*url, boolArg(args, "makeActiveIfPossible", false));
    return Json{{"tab", opened.ref()}};
  };
  methods_["window.getAllTabs"] = [window](const ExtensionInfo&, const Json& args) {
    Json refs = Json::array();
    if (BrowserWindow* target = window(args)) {
      for (Tab* each : target->tabs()) refs.push_back(each->ref());
    }
    return Json{{"tabs", refs}};
  };
  methods_["window.getActiveTab"] = [window](const ExtensionInfo&, const Json& args) {
    BrowserWindow* target = window(args);
    Tab* active = target != nullptr ? target->activeTab() : nullptr;
    return Json{{"tab", refOrNull(active != nullptr ? &active->ref() : nullptr)}};
  };
  methods_["window.getToolbarItem"] = [window](const ExtensionInfo& extension, const Json& args) {
    BrowserWindow* target = window(args);
    ToolbarButton* item = target != nullptr ? target->toolbarButton(extension.identifier) : nullptr;
    return Json{{"toolbarItem", refOrNull(item != nullptr ? &item->ref() : nullptr)}};
  };
  methods_["window.close"] = [window](const ExtensionInfo&, const Json& args) {
    if (BrowserWindow* target = window(args)) target->close();
    return Json::object();
  };
  methods_["tab.getPages"] = [tab](const ExtensionInfo&, const Json& args) {
    Json refs = Json::array();
    Tab* target = tab(args);
    if (target != nullptr && target->pageRef()) refs.push_back(*target->pageRef());
    return Json{{"pages", refs}};
  };
  methods_["tab.getActivePage"] = [tab](const ExtensionInfo&, const Json& args) {
    Tab* target = tab(args);
    const std::string* page =
        target != nullptr && target->pageRef() ? &*target->pageRef() : nullptr;
    return Json{{"page", refOrNull(page)}};
  };
  methods_["tab.getContainingWindow"] = [tab](const ExtensionInfo&, const Json& args) {
    Tab* target = tab(args);
    return Json{{"window", refOrNull(target != nullptr ? &target->window().ref() : nullptr)}};
  };
  methods_["tab.navigate"] = [tab](const ExtensionInfo&, const Json& args) {
    Tab* target = tab(args);
    std::optional<std::string> url = optionalStringArg(args, "url");
    if (target != nullptr && url) target->load(*url);
    return Json::object();
  };
  methods_["tab.close"] = [tab](const ExtensionInfo&, const Json& args) {
    if (Tab* target = tab(args)) target->window().closeTab(*target);
    return Json::object();
  };
  methods_["page.getProperties"] = [&browser](const ExtensionInfo&, const Json& args) {
    Tab* shown = browser.findPage(stringArg(args, "page"));
    if (shown == nullptr) return Json{{"properties", nullptr}};
    const std::string& url = shown->pageUrl();
    std::string title = shown->title();
    return Json{{"properties",
                 {{"url", url.empty() ? Json(nullptr) : Json(url)},
                  {"title", title.empty() ? Json(nullptr) : Json(title)},
                  {"usesPrivateBrowsing", false}}}};
  };
  methods_["page.dispatchMessageToScript"] = [&browser](const ExtensionInfo& extension,
                                                        const Json& args) {
    std::string page = stringArg(args, "page");
    std::optional<std::string> name = optionalStringArg(args, "name");
    auto userInfo = args.find("userInfo");
    bool userInfoValid = userInfo == args.end() || userInfo->is_null() || userInfo->is_object();
    Tab* shown = browser.findPage(page);
    if (shown != nullptr && name && userInfoValid) {
      shown->dispatchMessageToScript(page, extension.identifier, *name,
                                     userInfo == args.end() ? Json(nullptr) : *userInfo);
    }
    return Json::object();
  };
  methods_["toolbarItem.setImage"] = [&browser](const ExtensionInfo& extension, const Json& args) {
    ToolbarButton* item = browser.findToolbarItem(stringArg(args, "toolbarItem"));
    if (item == nullptr || item->extension().identifier != extension.identifier) {
      return Json::object();
    }
    auto image = args.find("image");
    if (image == args.end() || image->is_null()) {
      item->resetImage();
    } else if (std::optional<std::string> png =
                   decodeBase64(image->is_object() ? stringArg(*image, "png") : "")) {
      if (png->empty() || !item->setImage(*png)) {
        logError("extension " + extension.identifier + " set a toolbar image that does not decode");
      }
    }
    return Json::object();
  };
  methods_["toolbarItem.setBadgeText"] = [&browser](const ExtensionInfo& extension,
                                                    const Json& args) {
    ToolbarButton* item = browser.findToolbarItem(stringArg(args, "toolbarItem"));
    if (item != nullptr && item->extension().identifier == extension.identifier) {
      item->setBadgeText(stringArg(args, "text"));
    }
    return Json::object();
  };
  methods_["popover.dismiss"] = [&browser](const ExtensionInfo& extension, const Json&) {
    for (BrowserWindow* open : browser.windows()) open->popoverDismissed(extension.identifier);
    return Json::object();
  };
}

}  // namespace qv::host
