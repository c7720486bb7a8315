#pragma once

#include <memory>
#include <string>

#include "platform/SafariServices.h"

namespace qv::ipc {
class Connection;
}

namespace qv {

// The browser's objects as safari-host serves them over the extension's connection.
// Each handle is safari-host's opaque reference string (id() returns it) plus a weak
// link to the connection; the connection's owner decides how long it lives.
//
// Every operation with a completion is a call with a reply; the others are
// notifications. A null reference, an error reply, a reply of the wrong shape or a
// connection that has closed (or closes before the reply) all deliver "nothing": a null
// handle, an empty list or absent properties, never a hang. Completions run on the
// connection's reader thread, or at once on the caller's thread when the connection is
// already gone. All methods may be called from any thread.

class IpcSafariPage final : public SafariPage {
 public:
  IpcSafariPage(std::weak_ptr<ipc::Connection> connection, std::string ref);
  std::string id() const override { return ref_; }
  void getProperties(std::function<void(std::optional<SafariPageProperties>)> completion) override;
  void dispatchMessageToScript(const std::string& name,
                               const std::optional<Json>& userInfo) override;

 private:
  std::weak_ptr<ipc::Connection> connection_;
  std::string ref_;
};

class IpcSafariToolbarItem final : public SafariToolbarItem {
 public:
  IpcSafariToolbarItem(std::weak_ptr<ipc::Connection> connection, std::string ref);
  std::string id() const override { return ref_; }
  void setImage(const std::optional<Bytes>& png) override;
  void setBadgeText(const std::optional<std::string>& text) override;

 private:
  std::weak_ptr<ipc::Connection> connection_;
  std::string ref_;
};

class IpcSafariTab final : public SafariTab {
 public:
  IpcSafariTab(std::weak_ptr<ipc::Connection> connection, std::string ref);
  std::string id() const override { return ref_; }
  void getPages(std::function<void(std::vector<std::shared_ptr<SafariPage>>)> completion) override;
  void getActivePage(std::function<void(std::shared_ptr<SafariPage>)> completion) override;
  void getContainingWindow(std::function<void(std::shared_ptr<SafariWindow>)> completion) override;
  void navigate(const std::string& url) override;
  void close() override;

 private:
  std::weak_ptr<ipc::Connection> connection_;
  std::string ref_;
};

class IpcSafariWindow final : public SafariWindow {
 public:
  IpcSafariWindow(std::weak_ptr<ipc::Connection> connection, std::string ref);
  std::string id() const override { return ref_; }
  void openTab(const std::string& url, bool makeActiveIfPossible,
               std::function<void(std::shared_ptr<SafariTab>)> completion) override;
  void getAllTabs(std::function<void(std::vector<std::shared_ptr<SafariTab>>)> completion) override;
  void getActiveTab(std::function<void(std::shared_ptr<SafariTab>)> completion) override;
  void getToolbarItem(std::function<void(std::shared_ptr<SafariToolbarItem>)> completion) override;
  void close() override;

 private:
  std::weak_ptr<ipc::Connection> connection_;
  std::string ref_;
};

class IpcSafariApplication final : public SafariApplication {
 public:
  explicit IpcSafariApplication(std::weak_ptr<ipc::Connection> connection);
  void getActiveWindow(std::function<void(std::shared_ptr<SafariWindow>)> completion) override;
  void getAllWindows(
      std::function<void(std::vector<std::shared_ptr<SafariWindow>>)> completion) override;
  void openWindow(const std::string& url,
                  std::function<void(std::shared_ptr<SafariWindow>)> completion) override;
  void dismissPopover() override;

 private:
  std::weak_ptr<ipc::Connection> connection_;
};

}  // namespace qv
