#include "platform/linux/safari/IpcSafari.h"

#include <utility>

#include "ipc/Connection.h"
#include "ipc/Protocol.h"
#include "platform/Base64.h"
#include "platform/JsonFields.h"

namespace qv {
namespace {

using ipc::Connection;
using ipc::Method;
using ipc::Reply;
namespace browser = ipc::browser;

// Calls `method` and hands `onResult` the reply's result object, or null for every kind
// of failure (no connection, error reply, closed before the reply, wrong shape).
void request(const std::weak_ptr<Connection>& weak, const Method& method, const Json& args,
             std::function<void(const Json* result)> onResult) {
  std::shared_ptr<Connection> connection = weak.lock();
  if (!connection) return onResult(nullptr);
  connection->call(method, args, [onResult = std::move(onResult)](Reply reply) {
    onResult(reply.result ? &*reply.result : nullptr);
  });
}

void notify(const std::weak_ptr<Connection>& weak, const Method& method, const Json& args) {
  if (std::shared_ptr<Connection> connection = weak.lock()) connection->notify(method, args);
}

// The reference under `key`; absent when the result lacks it or holds anything but a
// non-empty string.
std::optional<std::string> refAt(const Json* result, std::string_view key) {
  std::optional<std::string> ref = result != nullptr ? json::string(*result, key) : std::nullopt;
  if (!ref || ref->empty()) return std::nullopt;
  return ref;
}

std::vector<std::string> refsAt(const Json* result, std::string_view key) {
  std::vector<std::string> refs;
  const Json* list = result != nullptr ? json::member(*result, key) : nullptr;
  if (list == nullptr || !list->is_array()) return refs;
  for (const Json& element : *list) {
    if (element.is_string() && !element.get<std::string>().empty()) {
      refs.push_back(element.get<std::string>());
    }
  }
  return refs;
}

// Calls `method`, whose result is one reference, and delivers a handle for it (null for
// none).
template <typename Handle, typename Interface>
void requestOne(const std::weak_ptr<Connection>& connection, const Method& method, const Json& args,
                std::function<void(std::shared_ptr<Interface>)> completion) {
  request(connection, method, args,
          [connection, key = method.result.front().key,
           completion = std::move(completion)](const Json* result) {
            std::optional<std::string> ref = refAt(result, key);
            completion(ref ? std::make_shared<Handle>(connection, std::move(*ref)) : nullptr);
          });
}

// Calls `method`, whose result is a list of references, and delivers their handles.
template <typename Handle, typename Interface>
void requestList(const std::weak_ptr<Connection>& connection, const Method& method,
                 const Json& args,
                 std::function<void(std::vector<std::shared_ptr<Interface>>)> completion) {
  request(connection, method, args,
          [connection, key = method.result.front().key,
           completion = std::move(completion)](const Json* result) {
            std::vector<std::shared_ptr<Interface>> handles;
            for (std::string& ref : refsAt(result, key)) {
              handles.push_back(std::make_shared<Handle>(connection, std::move(ref)));
            }
            completion(std::move(handles));
          });
}

// The wire carries user info as an object or null, nothing else.
Json userInfoJson(const std::optional<Json>& userInfo) {
  return userInfo && userInfo->is_object() ? *userInfo : Json();
}

// Absent values travel as JSON null.
template <typename T>
Json optionalJson(const std::optional<T>& value) {
  return value ? Json(*value) : Json();
}

}  // namespace

IpcSafariPage::IpcSafariPage(std::weak_ptr<ipc::Connection> connection, std::string ref)
    : connection_(std::move(connection)), ref_(std::move(ref)) {}

void IpcSafariPage::getProperties(
    std::function<void(std::optional<SafariPageProperties>)> completion) {
  request(connection_, browser::pageGetProperties, Json{{"page", ref_}},
          [completion = std::move(completion)](const Json* result) {
            if (result == nullptr) return completion(std::nullopt);
            const Json* it = json::member(*result, "properties");
            if (it == nullptr || !it->is_object()) return completion(std::nullopt);
            SafariPageProperties properties;
            properties.url = json::string(*it, "url");
            properties.title = json::string(*it, "title");
            properties.usesPrivateBrowsing =
                json::boolean(*it, "usesPrivateBrowsing").value_or(false);
            completion(std::move(properties));
          });
}

void IpcSafariPage::dispatchMessageToScript(const std::string& name,
                                            const std::optional<Json>& userInfo) {
  notify(connection_, browser::pageDispatchMessageToScript,
         Json{{"page", ref_}, {"name", name}, {"userInfo", userInfoJson(userInfo)}});
}

IpcSafariToolbarItem::IpcSafariToolbarItem(std::weak_ptr<ipc::Connection> connection,
                                           std::string ref)
    : connection_(std::move(connection)), ref_(std::move(ref)) {}

void IpcSafariToolbarItem::setImage(const std::optional<Bytes>& png) {
  Json image = png ? Json{{"png", base64Encode(*png)}} : Json();
  notify(connection_, browser::toolbarItemSetImage, Json{{"toolbarItem", ref_}, {"image", image}});
}

void IpcSafariToolbarItem::setBadgeText(const std::optional<std::string>& text) {
  notify(connection_, browser::toolbarItemSetBadgeText,
         Json{{"toolbarItem", ref_}, {"text", optionalJson(text)}});
}

IpcSafariTab::IpcSafariTab(std::weak_ptr<ipc::Connection> connection, std::string ref)
    : connection_(std::move(connection)), ref_(std::move(ref)) {}

void IpcSafariTab::getPages(
    std::function<void(std::vector<std::shared_ptr<SafariPage>>)> completion) {
  requestList<IpcSafariPage, SafariPage>(connection_, browser::tabGetPages, Json{{"tab", ref_}},
                                         std::move(completion));
}

void IpcSafariTab::getActivePage(std::function<void(std::shared_ptr<SafariPage>)> completion) {
  requestOne<IpcSafariPage, SafariPage>(connection_, browser::tabGetActivePage, Json{{"tab", ref_}},
                                        std::move(completion));
}

void IpcSafariTab::getContainingWindow(
    std::function<void(std::shared_ptr<SafariWindow>)> completion) {
  requestOne<IpcSafariWindow, SafariWindow>(connection_, browser::tabGetContainingWindow,
                                            Json{{"tab", ref_}}, std::move(completion));
}

void IpcSafariTab::navigate(const std::string& url) {
  notify(connection_, browser::tabNavigate, Json{{"tab", ref_}, {"url", url}});
}

void IpcSafariTab::close() {
  notify(connection_, browser::tabClose, Json{{"tab", ref_}});
}

IpcSafariWindow::IpcSafariWindow(std::weak_ptr<ipc::Connection> connection, std::string ref)
    : connection_(std::move(connection)), ref_(std::move(ref)) {}

void IpcSafariWindow::openTab(const std::string& url, bool makeActiveIfPossible,
                              std::function<void(std::shared_ptr<SafariTab>)> completion) {
  requestOne<IpcSafariTab, SafariTab>(
      connection_, browser::windowOpenTab,
      Json{{"window", ref_}, {"url", url}, {"makeActiveIfPossible", makeActiveIfPossible}},
      std::move(completion));
}

void IpcSafariWindow::getAllTabs(
    std::function<void(std::vector<std::shared_ptr<SafariTab>>)> completion) {
  requestList<IpcSafariTab, SafariTab>(connection_, browser::windowGetAllTabs,
                                       Json{{"window", ref_}}, std::move(completion));
}

void IpcSafariWindow::getActiveTab(std::function<void(std::shared_ptr<SafariTab>)> completion) {
  requestOne<IpcSafariTab, SafariTab>(connection_, browser::windowGetActiveTab,
                                      Json{{"window", ref_}}, std::move(completion));
}

void IpcSafariWindow::getToolbarItem(
    std::function<void(std::shared_ptr<SafariToolbarItem>)> completion) {
  requestOne<IpcSafariToolbarItem, SafariToolbarItem>(
      connection_, browser::windowGetToolbarItem, Json{{"window", ref_}}, std::move(completion));
}

void IpcSafariWindow::close() {
  notify(connection_, browser::windowClose, Json{{"window", ref_}});
}

IpcSafariApplication::IpcSafariApplication(std::weak_ptr<ipc::Connection> connection)
    : connection_(std::move(connection)) {}

void IpcSafariApplication::getActiveWindow(
    std::function<void(std::shared_ptr<SafariWindow>)> completion) {
  requestOne<IpcSafariWindow, SafariWindow>(connection_, browser::applicationGetActiveWindow,
                                            Json::object(), std::move(completion));
}

void IpcSafariApplication::getAllWindows(
    std::function<void(std::vector<std::shared_ptr<SafariWindow>>)> completion) {
  requestList<IpcSafariWindow, SafariWindow>(connection_, browser::applicationGetAllWindows,
                                             Json::object(), std::move(completion));
}

void IpcSafariApplication::openWindow(
    const std::string& url, std::function<void(std::shared_ptr<SafariWindow>)> completion) {
  requestOne<IpcSafariWindow, SafariWindow>(connection_, browser::applicationOpenWindow,
                                            Json{{"url", url}}, std::move(completion));
}

void IpcSafariApplication::dismissPopover() {
  notify(connection_, browser::popoverDismiss, Json::object());
}

}  // namespace qv
