#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/linux/system/GObjectRef.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkWindow GtkWindow;
typedef struct _AdwTabPage AdwTabPage;
typedef struct _AdwTabView AdwTabView;

namespace qv::host {

class Browser;
class BrowserDelegate;
class Tab;
class ToolbarButton;

// One browser window: tabs (AdwTabView and AdwTabBar), an address bar,
// back/forward/reload, and a toolbar item per enabled extension. Closing its last tab
// closes it. Owned by Browser; after close() the object lingers briefly, closed
// (isClosed()), until Browser deletes it.
// Main thread only.
class BrowserWindow {
 public:
  explicit BrowserWindow(Browser& browser);
  ~BrowserWindow();
  BrowserWindow(const BrowserWindow&) = delete;
  BrowserWindow& operator=(const BrowserWindow&) = delete;

  const std::string& ref() const { return ref_; }
  GtkWindow* gtkWindow() const;
  bool isClosed() const { return closed_; }
  void present();
  // Closes the window and every tab in it.
  void close();

  Tab& openTab(const std::string& url, bool activate);
  void closeTab(Tab& tab);
  void activateTab(Tab& tab);
  Tab* activeTab() const;
  // In tab-bar order.
  std::vector<Tab*> tabs() const;

  // Toolbar items and content scripts follow the delegate's enabled extensions.
  void updateExtensions();
  const std::vector<std::unique_ptr<ToolbarButton>>& toolbarButtons() const { return buttons_; }
  ToolbarButton* toolbarButton(const std::string& extensionIdentifier) const;
  // A click on the item, by a person or by automation.
  void toolbarButtonClicked(ToolbarButton& button);
  // The extension closed its popover (popover.dismiss): no popoverDidClose follows.
  void popoverDismissed(const std::string& extensionIdentifier);

  // From tabs.
  void tabStateChanged(Tab& tab);
  void tabPageChanged(Tab& tab);
  void focusAddressBar();

 private:
  void buildWidgets();
  void installActions();
  Tab* tabForPage(AdwTabPage* page) const;
  void onPageAttached(AdwTabPage* page);
  void onPageDetached(AdwTabPage* page);
  void onSelectedPageChanged();
  void onActiveChanged();
  void onAddressActivated();
  void updateNavigationButtons();
  void closePopover(ToolbarButton& button);

  Browser& browser_;
  BrowserDelegate& delegate_;
  std::string ref_;
  GObjectRef<GtkWidget> window_;
  AdwTabView* tabView_ = nullptr;    // owned by window_
  GtkWidget* address_ = nullptr;     // owned by window_
  GtkWidget* toolbarBox_ = nullptr;  // owned by window_
  std::vector<std::unique_ptr<Tab>> tabs_;
  std::vector<GtkWidget*> closingTabs_;  // web views whose page is closing, not moving
  std::vector<std::unique_ptr<ToolbarButton>> buttons_;
  bool closed_ = false;
  bool wasActive_ = false;
};

}  // namespace qv::host
