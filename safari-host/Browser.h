#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

typedef struct _GtkApplication GtkApplication;
typedef struct _GMenuModel GMenuModel;
typedef struct _AdwTabPage AdwTabPage;

namespace qv::host {

class BrowserDelegate;
class BrowserWindow;
class Tab;
class ToolbarButton;

// The browser's windows, most recently active first, and lookups of the references
// handed out for windows, tabs, pages and toolbar items. A reference to an object that
// is gone finds nothing. Main thread only.
class Browser {
 public:
  // `underAutomation`: every window says so (the control socket serves automation).
  Browser(GtkApplication* application, BrowserDelegate& delegate, bool underAutomation);
  ~Browser();
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  GtkApplication* application() const { return application_; }
  BrowserDelegate& delegate() const { return delegate_; }
  bool isUnderAutomation() const { return underAutomation_; }
  // A section every window's menu includes (the Develop menu); set before windows open.
  void setMenuSection(GMenuModel* section) { menuSection_ = section; }
  GMenuModel* menuSection() const { return menuSection_; }

  // A new window showing `url` in one tab; it becomes the active window.
  BrowserWindow& openWindow(const std::string& url);
  // Open windows, in the order they were opened.
  std::vector<BrowserWindow*> windows() const;
  // The most recently activated (focused or opened) window.
  BrowserWindow* activeWindow() const;

  BrowserWindow* findWindow(const std::string& ref) const;
  Tab* findTab(const std::string& ref) const;
  // The tab currently showing page `ref`.
  Tab* findPage(const std::string& ref) const;
  ToolbarButton* findToolbarItem(const std::string& ref, BrowserWindow** window = nullptr) const;

  // Every window re-reads the enabled extensions (toolbar items, content scripts).
  void updateExtensions();

  // From windows.
  void windowActivated(BrowserWindow& window);
  void windowClosed(BrowserWindow& window);
  // A tab dragged out of one window waits here until another window adopts it.
  void parkTab(AdwTabPage* page, std::unique_ptr<Tab> tab);
  std::unique_ptr<Tab> unparkTab(AdwTabPage* page);

 private:
  GtkApplication* application_;
  BrowserDelegate& delegate_;
  bool underAutomation_;
  GMenuModel* menuSection_ = nullptr;
  std::vector<std::unique_ptr<BrowserWindow>> windows_;  // in opening order
  std::vector<BrowserWindow*> recent_;                   // most recently active first
  std::map<AdwTabPage*, std::unique_ptr<Tab>> parked_;
};

}  // namespace qv::host
