#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Json.h"
#include "platform/Types.h"

namespace qv {

// The browser's objects as an app extension sees them. Every operation with a
// completion is asynchronous: the completion runs exactly once, on a thread of the
// browser's choosing (never assume the main thread). Objects are handles: two handles
// of the same browser object compare equal through id(). A handle whose object is gone
// still works; its lookups deliver nothing and its actions do nothing.

class SafariWindow;
class SafariTab;
class SafariPage;
class SafariToolbarItem;

struct SafariPageProperties {
  std::optional<std::string> url;
  std::optional<std::string> title;
  bool usesPrivateBrowsing = false;
};

class SafariPage {
 public:
  virtual ~SafariPage() = default;
  virtual std::string id() const = 0;
  virtual void getProperties(
      std::function<void(std::optional<SafariPageProperties>)> completion) = 0;
  // Delivers a message to the content scripts of exactly this page.
  virtual void dispatchMessageToScript(const std::string& name,
                                       const std::optional<Json>& userInfo) = 0;
};

class SafariToolbarItem {
 public:
  virtual ~SafariToolbarItem() = default;
  virtual std::string id() const = 0;
  // PNG bytes; absent restores the extension's own image.
  virtual void setImage(const std::optional<Bytes>& png) = 0;
  virtual void setBadgeText(const std::optional<std::string>& text) = 0;
};

class SafariTab {
 public:
  virtual ~SafariTab() = default;
  virtual std::string id() const = 0;
  virtual void getPages(
      std::function<void(std::vector<std::shared_ptr<SafariPage>>)> completion) = 0;
  virtual void getActivePage(std::function<void(std::shared_ptr<SafariPage>)> completion) = 0;
  virtual void getContainingWindow(
      std::function<void(std::shared_ptr<SafariWindow>)> completion) = 0;
  virtual void navigate(const std::string& url) = 0;
  virtual void close() = 0;
};

class SafariWindow {
 public:
  virtual ~SafariWindow() = default;
  virtual std::string id() const = 0;
  virtual void openTab(const std::string& url, bool makeActiveIfPossible,
                       std::function<void(std::shared_ptr<SafariTab>)> completion) = 0;
  virtual void getAllTabs(
      std::function<void(std::vector<std::shared_ptr<SafariTab>>)> completion) = 0;
  virtual void getActiveTab(std::function<void(std::shared_ptr<SafariTab>)> completion) = 0;
  virtual void getToolbarItem(
      std::function<void(std::shared_ptr<SafariToolbarItem>)> completion) = 0;
  virtual void close() = 0;
};

// The browser itself. Null shared_ptrs stand for "none".
class SafariApplication {
 public:
  virtual ~SafariApplication() = default;
  virtual void getActiveWindow(std::function<void(std::shared_ptr<SafariWindow>)> completion) = 0;
  virtual void getAllWindows(
      std::function<void(std::vector<std::shared_ptr<SafariWindow>>)> completion) = 0;
  virtual void openWindow(const std::string& url,
                          std::function<void(std::shared_ptr<SafariWindow>)> completion) = 0;
  // Asks the browser to close the extension's popover.
  virtual void dismissPopover() = 0;
};

}  // namespace qv
