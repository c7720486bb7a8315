#include "platform/linux/IpcSafari.h"

#include <openssl/evp.h>

#include <algorithm>
#include <utility>

#include "platform/linux/IpcConnection.h"

namespace qv {
namespace {

using ipc::Connection;
using ipc::Reply;

// Calls `method` and hands `onResult` the reply's result object, or null for every kind
// of failure (no connection, error reply, closed before the reply, not an object).
void request(const std::weak_ptr<Connection>& weak, const std::string& method, Json args,
             std::function<void(const Json* result)> onResult) {
  std::shared_ptr<Connection> connection = weak.lock();
  if (!connection) return onResult(nullptr);
  connection->call(method, args, [onResult = std::move(onResult)](Reply reply) {
    onResult(reply.result && reply.result->is_object() ? &*reply.result : nullptr);
  });
}

void notify(const std::weak_ptr<Connection>& weak, const std::string& method, Json args) {
  if (std::shared_ptr<Connection> connection = weak.lock()) connection->notify(method, args);
}

// The reference under `key`; absent when the result lacks it or holds null.
std::optional<std::string> refAt(const Json* result, const char* key) {
  if (result == nullptr) return std::nullopt;
  auto it = result->find(key);
  if (it == result->end() || !it->is_string()) return std::nullopt;
  std::string ref = it->get<std::string>();
  if (ref.empty()) return std::nullopt;
  return ref;
}

std::vector<std::string> refsAt(const Json* result, const char* key) {
  std::vector<std::string> refs;
  if (result == nullptr) return refs;
  auto it = result->find(key);
  if (it == result->end() || !it->is_array()) return refs;
  for (const Json& element : *it) {
    if (element.is_string() && !element.get<std::string>().empty()) {
      refs.push_back(element.get<std::string>());
    }
  }
  return refs;
}

template <typename Handle, typename Interface>
std::function<void(const Json*)> deliverOne(
    std::weak_ptr<Connection> connection, const char* key,
    std::function<void(std::shared_ptr<Interface>)> completion) {
  return [connection = std::move(connection), key,
          completion = std::move(completion)](const Json* result) {
    std::optional<std::string> ref = refAt(result, key);
    completion(ref ? std::make_shared<Handle>(connection, std::move(*ref)) : nullptr);
  };
}

template <typename Handle, typename Interface>
std::function<void(const Json*)> deliverList(
    std::weak_ptr<Connection> connection, const char* key,
    std::function<void(std::vector<std::shared_ptr<Interface>>)> completion) {
  return [connection = std::move(connection), key,
          completion = std::move(completion)](const Json* result) {
    std::vector<std::shared_ptr<Interface>> handles;
    for (std::string& ref : refsAt(result, key)) {
      handles.push_back(std::make_shared<Handle>(connection, std::move(ref)));
    }
    completion(std::move(handles));
  };
}

// The wire carries user info as an object or null, nothing else.
Json userInfoJson(const std::optional<Json>& userInfo) {
  return userInfo && userInfo->is_object() ? *userInfo : Json();
}

std::string base64(const Bytes& bytes) {
  // EVP_EncodeBlock takes an int length: encode in whole 3-byte groups of bounded size.
  constexpr std::size_t chunk = 3 * 1024 * 1024;
  std::string out;
  out.reserve(4 * ((bytes.size() + 2) / 3) + 1);
  for (std::size_t offset = 0; offset < bytes.size(); offset += chunk) {
    std::size_t length = std::min(chunk, bytes.size() - offset);
    std::string piece(4 * ((length + 2) / 3) + 1, '\0');
    int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(piece.data()),
                                  bytes.data() + offset, static_cast<int>(length));
    out.append(piece.data(), static_cast<std::size_t>(std::max(written, 0)));
  }
  return out;
}

// Absent values travel as JSON null.
template <typename T>
Json optionalJson(const std::optional<T>& value) {
  return value ? Json(*value) : Json();
}

std::optional<std::string> optionalStringAt(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace

IpcSafariPage::IpcSafariPage(std::weak_ptr<ipc::Connection> connection, std::string ref)
    : connection_(std::move(connection)), ref_(std::move(ref)) {}

void IpcSafariPage::getProperties(
    std::function<void(std::optional<SafariPageProperties>)> completion) {
  request(connection_, "page.getProperties", Json{{"page", ref_}},
          [completion = std::move(completion)](const Json* result) {
            if (result == nullptr) return completion(std::nullopt);
            auto it = result->find("properties");
            if (it == result->end() || !it->is_object()) return completion(std::nullopt);
            SafariPageProperties properties;
            properties.url = optionalStringAt(*it, "url");
            properties.title = optionalStringAt(*it, "title");
            auto privateBrowsing = it->find("usesPrivateBrowsing");
            properties.usesPrivateBrowsing = privateBrowsing != it->end() &&
                                             privateBrowsing->is_boolean() &&
                                             privateBrowsing->get<bool>();
            completion(std::move(properties));
          });
}

void IpcSafariPage::dispatchMessageToScript(const std::string& name,
                                            const std::optional<Json>& userInfo) {
  notify(connection_, "page.dispatchMessageToScript",
         Json{{"page", ref_}, {"name", name}, {"userInfo", userInfoJson(userInfo)}});
}

IpcSafariToolbarItem::IpcSafariToolbarItem(std::weak_ptr<ipc::Connection> connection,
                                           std::string ref)
    : connection_(std::move(connection)), ref_(std::move(ref)) {}

void IpcSafariToolbarItem::setImage(const std::optional<Bytes>& png) {
  Json image = png ? Json{{"png", base64(*png)}} : Json();
  notify(connection_, "toolbarItem.setImage", Json{{"toolbarItem", ref_}, {"image", image}});
}

void IpcSafariToolbarItem::setBadgeText(const std::optional<std::string>& text) {
  notify(connection_, "toolbarItem.setBadgeText",
         Json{{"toolbarItem", ref_}, {"text", optionalJson(text)}});
}

IpcSafariTab::IpcSafariTab(std::weak_ptr<ipc::Connection> connection, std::string ref)
    : connection_(std::move(connection)), ref_(std::move(ref)) {}

void IpcSafariTab::getPages(
    std::function<void(std::vector<std::shared_ptr<SafariPage>>)> completion) {
  request(connection_, "tab.getPages", Json{{"tab", ref_}},
          deliverList<IpcSafariPage, SafariPage>(connection_, "pages", std::move(completion)));
}

void IpcSafariTab::getActivePage(std::function<void(std::shared_ptr<SafariPage>)> completion) {
  request(connection_, "tab.getActivePage", Json{{"tab", ref_}},
          deliverOne<IpcSafariPage, SafariPage>(connection_, "page", std::move(completion)));
}

void IpcSafariTab::getContainingWindow(
    std::function<void(std::shared_ptr<SafariWindow>)> completion) {
  request(connection_, "tab.getContainingWindow", Json{{"tab", ref_}},
          deliverOne<IpcSafariWindow, SafariWindow>(connection_, "window", std::move(completion)));
}

void IpcSafariTab::navigate(const std::string& url) {
  notify(connection_, "tab.navigate", Json{{"tab", ref_}, {"url", url}});
}

void IpcSafariTab::close() {
  notify(connection_, "tab.close", Json{{"tab", ref_}});
}

IpcSafariWindow::IpcSafariWindow(std::weak_ptr<ipc::Connection> connection, std::string ref)
    : connection_(std::move(connection)), ref_(std::move(ref)) {}

void IpcSafariWindow::openTab(const std::string& url, bool makeActiveIfPossible,
                              std::function<void(std::shared_ptr<SafariTab>)> completion) {
  request(connection_, "window.openTab",
          Json{{"window", ref_}, {"url", url}, {"makeActiveIfPossible", makeActiveIfPossible}},
          deliverOne<IpcSafariTab, SafariTab>(connection_, "tab", std::move(completion)));
}

void IpcSafariWindow::getAllTabs(
    std::function<void(std::vector<std::shared_ptr<SafariTab>>)> completion) {
  request(connection_, "window.getAllTabs", Json{{"window", ref_}},
          deliverList<IpcSafariTab, SafariTab>(connection_, "tabs", std::move(completion)));
}

void IpcSafariWindow::getActiveTab(std::function<void(std::shared_ptr<SafariTab>)> completion) {
  request(connection_, "window.getActiveTab", Json{{"window", ref_}},
          deliverOne<IpcSafariTab, SafariTab>(connection_, "tab", std::move(completion)));
}

void IpcSafariWindow::getToolbarItem(
    std::function<void(std::shared_ptr<SafariToolbarItem>)> completion) {
  request(connection_, "window.getToolbarItem", Json{{"window", ref_}},
          deliverOne<IpcSafariToolbarItem, SafariToolbarItem>(connection_, "toolbarItem",
                                                              std::move(completion)));
}

void IpcSafariWindow::close() {
  notify(connection_, "window.close", Json{{"window", ref_}});
}

IpcSafariApplication::IpcSafariApplication(std::weak_ptr<ipc::Connection> connection)
    : connection_(std::move(connection)) {}

void IpcSafariApplication::getActiveWindow(
    std::function<void(std::shared_ptr<SafariWindow>)> completion) {
  request(connection_, "application.getActiveWindow", Json::object(),
          deliverOne<IpcSafariWindow, SafariWindow>(connection_, "window", std::move(completion)));
}

void IpcSafariApplication::getAllWindows(
    std::function<void(std::vector<std::shared_ptr<SafariWindow>>)> completion) {
  request(
      connection_, "application.getAllWindows", Json::object(),
      deliverList<IpcSafariWindow, SafariWindow>(connection_, "windows", std::move(completion)));
}

void IpcSafariApplication::openWindow(
    const std::string& url, std::function<void(std::shared_ptr<SafariWindow>)> completion) {
  request(connection_, "application.openWindow", Json{{"url", url}},
          deliverOne<IpcSafariWindow, SafariWindow>(connection_, "window", std::move(completion)));
}

void IpcSafariApplication::dismissPopover() {
  notify(connection_, "popover.dismiss", Json::object());
}

}  // namespace qv
