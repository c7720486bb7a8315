#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/SafariServices.h"

namespace qv::testing {

// An in-memory browser with every Safari interface: windows with tabs, tabs with one
// current page, a toolbar item per window. It records every call the extension makes
// (as text, in order) and every message sent to a page. Completions run synchronously
// on the calling thread, or, after holdCompletions(true), wait until the test calls
// releaseHeld() (from any thread it likes). Thread-safe: one lock guards all state.
//
// Behaviour follows the real browser: opening a window makes it active with one tab at
// the URL (see setNewWindowTabCount), opening a tab adds a page at the URL, navigating
// replaces the tab's page, closing removes the object; a closed object's lookups
// deliver nothing and its actions do nothing.

struct FakeBrowserCore;
class FakeWindow;

struct DispatchedMessage {
  std::string pageId;
  std::string name;
  std::optional<Json> userInfo;

  bool operator==(const DispatchedMessage&) const = default;
};

class FakePage final : public SafariPage {
 public:
  FakePage(std::shared_ptr<FakeBrowserCore> core, std::string id, std::optional<std::string> url);

  std::string id() const override { return id_; }
  void getProperties(std::function<void(std::optional<SafariPageProperties>)> completion) override;
  void dispatchMessageToScript(const std::string& name,
                               const std::optional<Json>& userInfo) override;

  // Messages sent to this page, oldest first.
  std::vector<DispatchedMessage> messages() const;
  // The URL its properties report (absent: properties without a URL).
  void setUrl(std::optional<std::string> url);
  // When false, getProperties delivers no properties at all.
  void setHasProperties(bool has);

 private:
  std::shared_ptr<FakeBrowserCore> core_;
  const std::string id_;
  std::optional<std::string> url_;
  bool hasProperties_ = true;
};

class FakeToolbarItem final : public SafariToolbarItem {
 public:
  FakeToolbarItem(std::shared_ptr<FakeBrowserCore> core, std::string id);

  std::string id() const override { return id_; }
  void setImage(const std::optional<Bytes>& png) override;
  void setBadgeText(const std::optional<std::string>& text) override;

  std::optional<Bytes> image() const;
  std::optional<std::string> badgeText() const;
  std::size_t setImageCount() const;
  std::size_t setBadgeTextCount() const;

 private:
  std::shared_ptr<FakeBrowserCore> core_;
  const std::string id_;
  std::optional<Bytes> image_;
  std::optional<std::string> badgeText_;
  std::size_t setImageCount_ = 0;
  std::size_t setBadgeTextCount_ = 0;
};

class FakeTab final : public SafariTab {
 public:
  FakeTab(std::shared_ptr<FakeBrowserCore> core, std::string id);

  std::string id() const override { return id_; }
  void getPages(std::function<void(std::vector<std::shared_ptr<SafariPage>>)> completion) override;
  void getActivePage(std::function<void(std::shared_ptr<SafariPage>)> completion) override;
  void getContainingWindow(std::function<void(std::shared_ptr<SafariWindow>)> completion) override;
  void navigate(const std::string& url) override;
  void close() override;

  // The page it shows now; null when it has none.
  std::shared_ptr<FakePage> page() const;
  // Replaces the page with a new one at `url` (none when absent), as a navigation would.
  std::shared_ptr<FakePage> showPage(std::optional<std::string> url);
  std::vector<std::string> navigations() const;
  bool isClosed() const;

 private:
  friend class FakeWindow;
  friend class FakeBrowser;
  std::shared_ptr<FakePage> showPageLocked(std::optional<std::string> url);

  std::shared_ptr<FakeBrowserCore> core_;
  const std::string id_;
  std::shared_ptr<FakePage> page_;
  std::weak_ptr<FakeWindow> window_;
  std::vector<std::string> navigations_;
  bool closed_ = false;
};

class FakeWindow final : public SafariWindow, public std::enable_shared_from_this<FakeWindow> {
  friend class FakeTab;

 public:
  FakeWindow(std::shared_ptr<FakeBrowserCore> core, std::string id);

  std::string id() const override { return id_; }
  void openTab(const std::string& url, bool makeActiveIfPossible,
               std::function<void(std::shared_ptr<SafariTab>)> completion) override;
  void getAllTabs(std::function<void(std::vector<std::shared_ptr<SafariTab>>)> completion) override;
  void getActiveTab(std::function<void(std::shared_ptr<SafariTab>)> completion) override;
  void getToolbarItem(std::function<void(std::shared_ptr<SafariToolbarItem>)> completion) override;
  void close() override;

  // Adds a tab showing `url` (no page when absent), made active when asked.
  std::shared_ptr<FakeTab> addTab(std::optional<std::string> url, bool makeActive = true);
  std::vector<std::shared_ptr<FakeTab>> tabs() const;
  std::shared_ptr<FakeTab> activeTab() const;
  void setActiveTab(std::shared_ptr<FakeTab> tab);
  // Every window starts with one; null makes getToolbarItem deliver none.
  std::shared_ptr<FakeToolbarItem> toolbarItem() const;
  void setToolbarItem(std::shared_ptr<FakeToolbarItem> item);
  // When true, openTab delivers no tab.
  void setOpenTabFails(bool fails);
  bool isClosed() const;

 private:
  friend class FakeBrowser;
  std::shared_ptr<FakeTab> addTabLocked(std::optional<std::string> url, bool makeActive);

  std::shared_ptr<FakeBrowserCore> core_;
  const std::string id_;
  std::vector<std::shared_ptr<FakeTab>> tabs_;
  std::shared_ptr<FakeTab> activeTab_;
  std::shared_ptr<FakeToolbarItem> toolbarItem_;
  bool openTabFails_ = false;
  bool closed_ = false;
};

class FakeBrowser final : public SafariApplication {
 public:
  FakeBrowser();
  ~FakeBrowser() override;
  FakeBrowser(const FakeBrowser&) = delete;
  FakeBrowser& operator=(const FakeBrowser&) = delete;

  void getActiveWindow(std::function<void(std::shared_ptr<SafariWindow>)> completion) override;
  void getAllWindows(
      std::function<void(std::vector<std::shared_ptr<SafariWindow>>)> completion) override;
  void openWindow(const std::string& url,
                  std::function<void(std::shared_ptr<SafariWindow>)> completion) override;
  void dismissPopover() override;

  // Adds a window (with no tabs) and makes it the active one when asked.
  std::shared_ptr<FakeWindow> addWindow(bool makeActive = true);
  std::vector<std::shared_ptr<FakeWindow>> windows() const;
  std::shared_ptr<FakeWindow> activeWindow() const;
  // Null: no window is active (windows may still exist).
  void setActiveWindow(std::shared_ptr<FakeWindow> window);
  // How many tabs a window opened by openWindow has, each showing the URL (default 1).
  void setNewWindowTabCount(std::size_t count);
  // When true, openWindow delivers no window.
  void setOpenWindowFails(bool fails);

  // Every call made on any object, oldest first, e.g. "getActiveWindow",
  // "window-1.openTab https://a.example/ active=true", "tab-2.getPages".
  std::vector<std::string> calls() const;
  // Every message sent to any page, oldest first.
  std::vector<DispatchedMessage> dispatchedMessages() const;
  std::size_t dismissPopoverCount() const;

  // Held completions wait for releaseHeld(), which runs them (and any they cause) in
  // order and returns how many ran.
  void holdCompletions(bool hold);
  std::size_t releaseHeld();
  std::size_t heldCount() const;

 private:
  std::shared_ptr<FakeBrowserCore> core_;  // also holds the windows, so they can close
};

}  // namespace qv::testing
