#include "safari-host/BrowserWindow.h"

#include <adwaita.h>

#include <algorithm>
#include <chrono>

#include "platform/linux/system/GObjectRef.h"
#include "platform/linux/system/MainContext.h"
#include "safari-host/AddressText.h"
#include "safari-host/Browser.h"
#include "safari-host/BrowserDelegate.h"
#include "safari-host/Refs.h"
#include "safari-host/Tab.h"
#include "safari-host/ToolbarButton.h"

namespace qv::host {
namespace {

using Clock = ToolbarButton::Clock;

// A popover shown this recently takes the focus with its own window: that is not the
// person leaving the browser.
constexpr auto kPopoverFocusGrace = std::chrono::milliseconds(1500);
// The click that brought the window back already closed the popover.
constexpr auto kReactivationClick = std::chrono::milliseconds(500);

constexpr int kDefaultWidth = 1200;
constexpr int kDefaultHeight = 800;

}  // namespace

BrowserWindow::BrowserWindow(Browser& browser)
    : browser_(browser), delegate_(browser.delegate()), ref_(makeRef("window")) {
  buildWidgets();
  installActions();
  updateExtensions();
}

BrowserWindow::~BrowserWindow() {
  close();
}

GtkWindow* BrowserWindow::gtkWindow() const {
  return GTK_WINDOW(window_.get());
}

void BrowserWindow::buildWidgets() {
  GtkWidget* window = adw_application_window_new(browser_.application());
  window_ = GObjectRef<GtkWidget>::retain(window);
  gtk_window_set_default_size(GTK_WINDOW(window), kDefaultWidth, kDefaultHeight);
  gtk_window_set_title(GTK_WINDOW(window), "Safari Host");

  GtkWidget* header = adw_header_bar_new();
  GtkWidget* back = gtk_button_new_from_icon_name("go-previous-symbolic");
  gtk_widget_set_tooltip_text(back, "Back");
  gtk_actionable_set_action_name(GTK_ACTIONABLE(back), "win.back");
  GtkWidget* forward = gtk_button_new_from_icon_name("go-next-symbolic");
  gtk_widget_set_tooltip_text(forward, "Forward");
  gtk_actionable_set_action_name(GTK_ACTIONABLE(forward), "win.forward");
  GtkWidget* reload = gtk_button_new_from_icon_name("view-refresh-symbolic");
  gtk_widget_set_tooltip_text(reload, "Reload");
  gtk_actionable_set_action_name(GTK_ACTIONABLE(reload), "win.reload");
  adw_header_bar_pack_start(ADW_HEADER_BAR(header), back);
  adw_header_bar_pack_start(ADW_HEADER_BAR(header), forward);
  adw_header_bar_pack_start(ADW_HEADER_BAR(header), reload);

  address_ = gtk_entry_new();
  gtk_entry_set_placeholder_text(GTK_ENTRY(address_), "Enter a website address");
  gtk_entry_set_input_purpose(GTK_ENTRY(address_), GTK_INPUT_PURPOSE_URL);
  gtk_editable_set_width_chars(GTK_EDITABLE(address_), 60);
  gtk_widget_set_hexpand(address_, TRUE);
  g_signal_connect_swapped(address_, "activate",
                           G_CALLBACK(+[](BrowserWindow* self) { self->onAddressActivated(); }),
                           this);
  adw_header_bar_set_title_widget(ADW_HEADER_BAR(header), address_);

  GMenu* menu = g_menu_new();
  g_menu_append(menu, "New Window", "app.new-window");
  g_menu_append(menu, "New Tab", "win.new-tab");
  g_menu_append(menu, "Extensions…", "app.preferences");
  if (GMenuModel* section = browser_.menuSection()) g_menu_append_section(menu, nullptr, section);
  GtkWidget* menuButton = gtk_menu_button_new();
  gtk_menu_button_set_icon_name(GTK_MENU_BUTTON(menuButton), "open-menu-symbolic");
  gtk_menu_button_set_menu_model(GTK_MENU_BUTTON(menuButton), G_MENU_MODEL(menu));
  g_object_unref(menu);
  GtkWidget* newTab = gtk_button_new_from_icon_name("tab-new-symbolic");
  gtk_widget_set_tooltip_text(newTab, "New Tab");
  gtk_actionable_set_action_name(GTK_ACTIONABLE(newTab), "win.new-tab");
  toolbarBox_ = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
  adw_header_bar_pack_end(ADW_HEADER_BAR(header), menuButton);
  adw_header_bar_pack_end(ADW_HEADER_BAR(header), newTab);
  adw_header_bar_pack_end(ADW_HEADER_BAR(header), toolbarBox_);

  tabView_ = adw_tab_view_new();
  gtk_widget_set_vexpand(GTK_WIDGET(tabView_), TRUE);
  AdwTabBar* tabBar = adw_tab_bar_new();
  adw_tab_bar_set_view(tabBar, tabView_);
  adw_tab_bar_set_autohide(tabBar, FALSE);

  GtkWidget* content = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_box_append(GTK_BOX(content), header);
  if (browser_.isUnderAutomation()) {
    // Whoever reaches the control socket drives this window: the person must see that.
    GtkWidget* banner = gtk_label_new("This browser is under remote automation");
    gtk_widget_add_css_class(banner, "qv-automation");
    gtk_box_append(GTK_BOX(content), banner);
  }
  gtk_box_append(GTK_BOX(content), GTK_WIDGET(tabBar));
  gtk_box_append(GTK_BOX(content), GTK_WIDGET(tabView_));
  adw_application_window_set_content(ADW_APPLICATION_WINDOW(window), content);

  g_signal_connect(tabView_, "close-page",
                   G_CALLBACK(+[](AdwTabView*, AdwTabPage* page, BrowserWindow* self) -> gboolean {
                     // Mark it so that page-detached destroys the tab instead of parking it.
                     self->closingTabs_.push_back(adw_tab_page_get_child(page));
                     return GDK_EVENT_PROPAGATE;  // the default handler closes it
                   }),
                   this);
  g_signal_connect(tabView_, "page-attached",
                   G_CALLBACK(+[](AdwTabView*, AdwTabPage* page, int, BrowserWindow* self) {
                     self->onPageAttached(page);
                   }),
                   this);
  g_signal_connect(tabView_, "page-detached",
                   G_CALLBACK(+[](AdwTabView*, AdwTabPage* page, int, BrowserWindow* self) {
                     self->onPageDetached(page);
                   }),
                   this);
  g_signal_connect_swapped(tabView_, "notify::selected-page",
                           G_CALLBACK(+[](BrowserWindow* self) { self->onSelectedPageChanged(); }),
                           this);
  g_signal_connect_swapped(window, "notify::is-active",
                           G_CALLBACK(+[](BrowserWindow* self) { self->onActiveChanged(); }), this);
  // GTK only hides and unlists a destroyed window while we hold our reference, so the
  // person's close button goes through close() like every other way of closing.
  g_signal_connect(window, "close-request",
                   G_CALLBACK(+[](GtkWindow*, BrowserWindow* self) -> gboolean {
                     self->close();
                     return GDK_EVENT_STOP;
                   }),
                   this);
}

void BrowserWindow::installActions() {
  using Handler = void (*)(GSimpleAction*, GVariant*, gpointer);
  struct Entry {
    const char* name;
    Handler handler;
  };
  static const Entry kEntries[] = {
      {"new-tab",
       [](GSimpleAction*, GVariant*, gpointer data) {
         auto* window = static_cast<BrowserWindow*>(data);
         window->openTab("about:blank", true);
         window->focusAddressBar();
       }},
      {"close-tab",
       [](GSimpleAction*, GVariant*, gpointer data) {
         auto* window = static_cast<BrowserWindow*>(data);
         if (Tab* tab = window->activeTab()) window->closeTab(*tab);
       }},
      {"focus-address",
       [](GSimpleAction*, GVariant*, gpointer data) {
         static_cast<BrowserWindow*>(data)->focusAddressBar();
       }},
      {"back",
       [](GSimpleAction*, GVariant*, gpointer data) {
         if (Tab* tab = static_cast<BrowserWindow*>(data)->activeTab()) tab->goBack();
       }},
      {"forward",
       [](GSimpleAction*, GVariant*, gpointer data) {
         if (Tab* tab = static_cast<BrowserWindow*>(data)->activeTab()) tab->goForward();
       }},
      {"reload",
       [](GSimpleAction*, GVariant*, gpointer data) {
         if (Tab* tab = static_cast<BrowserWindow*>(data)->activeTab()) tab->reload();
       }},
  };
  for (const Entry& entry : kEntries) {
    GSimpleAction* action = g_simple_action_new(entry.name, nullptr);
    g_signal_connect(action, "activate", G_CALLBACK(entry.handler), this);
    g_action_map_add_action(G_ACTION_MAP(window_.get()), G_ACTION(action));
    g_object_unref(action);
  }
}

void BrowserWindow::present() {
  gtk_window_present(GTK_WINDOW(window_.get()));
}

void BrowserWindow::close() {
  if (closed_) return;
  closed_ = true;
  // Tabs and toolbar items go first, while the widgets are still whole; the window is
  // disposed when the last reference (ours) goes with this object.
  g_signal_handlers_disconnect_by_data(tabView_, this);
  g_signal_handlers_disconnect_by_data(window_.get(), this);
  for (const auto& button : buttons_) {
    if (button->popover().shown) {
      button->popover().shown = false;
      delegate_.popoverDidClose(*this, button->extension().identifier);
    }
  }
  buttons_.clear();
  tabs_.clear();
  gtk_window_destroy(GTK_WINDOW(window_.get()));
  browser_.windowClosed(*this);  // may schedule the deletion of this object
}

Tab& BrowserWindow::openTab(const std::string& url, bool activate) {
  tabs_.push_back(std::make_unique<Tab>(*this, delegate_));
  Tab& tab = *tabs_.back();
  AdwTabPage* page = adw_tab_view_append(tabView_, tab.widget());
  adw_tab_page_set_title(page, "New Tab");
  if (activate) adw_tab_view_set_selected_page(tabView_, page);
  tab.load(url);
  return tab;
}

void BrowserWindow::closeTab(Tab& tab) {
  if (AdwTabPage* page = adw_tab_view_get_page(tabView_, tab.widget())) {
    adw_tab_view_close_page(tabView_, page);
  }
}

void BrowserWindow::activateTab(Tab& tab) {
  if (AdwTabPage* page = adw_tab_view_get_page(tabView_, tab.widget())) {
    adw_tab_view_set_selected_page(tabView_, page);
  }
}

Tab* BrowserWindow::activeTab() const {
  if (closed_) return nullptr;
  return tabForPage(adw_tab_view_get_selected_page(tabView_));
}

std::vector<Tab*> BrowserWindow::tabs() const {
  std::vector<Tab*> result;
  if (closed_) return result;
  int count = adw_tab_view_get_n_pages(tabView_);
  for (int index = 0; index < count; ++index) {
    if (Tab* tab = tabForPage(adw_tab_view_get_nth_page(tabView_, index))) result.push_back(tab);
  }
  return result;
}

Tab* BrowserWindow::tabForPage(AdwTabPage* page) const {
  if (page == nullptr) return nullptr;
  GtkWidget* child = adw_tab_page_get_child(page);
  for (const auto& tab : tabs_) {
    if (tab->widget() == child) return tab.get();
  }
  return nullptr;
}

void BrowserWindow::onPageAttached(AdwTabPage* page) {
  if (tabForPage(page) != nullptr) return;  // one of ours, from openTab()
  if (std::unique_ptr<Tab> tab = browser_.unparkTab(page)) {
    tab->moveToWindow(*this);
    tabs_.push_back(std::move(tab));
    tabStateChanged(*tabs_.back());
  }
}

void BrowserWindow::onPageDetached(AdwTabPage* page) {
  GtkWidget* child = adw_tab_page_get_child(page);
  auto it = std::find_if(tabs_.begin(), tabs_.end(),
                         [&](const auto& tab) { return tab->widget() == child; });
  if (it == tabs_.end()) return;
  std::unique_ptr<Tab> tab = std::move(*it);
  tabs_.erase(it);
  auto closing = std::find(closingTabs_.begin(), closingTabs_.end(), child);
  if (closing != closingTabs_.end()) {
    closingTabs_.erase(closing);
    tab.reset();
  } else {
    browser_.parkTab(page, std::move(tab));  // dragged to another window
  }
  if (adw_tab_view_get_n_pages(tabView_) == 0) {
    // Not from inside the tab view's own signal.
    postToMain([&browser = browser_, ref = ref_] {
      BrowserWindow* window = browser.findWindow(ref);
      if (window != nullptr && window->tabs().empty()) window->close();
    });
  }
}

void BrowserWindow::onSelectedPageChanged() {
  if (closed_) return;
  if (Tab* tab = activeTab()) {
    tabStateChanged(*tab);
    delegate_.toolbarItemsNeedValidation(*this);
  }
}

void BrowserWindow::onActiveChanged() {
  if (closed_) return;
  bool active = gtk_window_is_active(GTK_WINDOW(window_.get()));
  if (active == wasActive_) return;
  wasActive_ = active;
  Clock::time_point now = Clock::now();
  for (const auto& button : buttons_) {
    ToolbarButton::PopoverState& popover = button->popover();
    if (!popover.shown) continue;
    if (active) {
      // Back from the popover's window: a click outside the popover closes it.
      if (popover.focusTaken) {
        closePopover(*button);
        popover.closedByFocusAt = now;
      }
    } else if (now - popover.shownAt < kPopoverFocusGrace) {
      popover.focusTaken = true;
    } else {
      closePopover(*button);
    }
  }
  if (active) browser_.windowActivated(*this);
}

void BrowserWindow::closePopover(ToolbarButton& button) {
  button.popover().shown = false;
  button.popover().focusTaken = false;
  delegate_.popoverDidClose(*this, button.extension().identifier);
}

void BrowserWindow::toolbarButtonClicked(ToolbarButton& button) {
  if (closed_ || !button.isPopover()) return;
  ToolbarButton::PopoverState& popover = button.popover();
  Clock::time_point now = Clock::now();
  if (popover.shown) {
    closePopover(button);
  } else if (now - popover.closedByFocusAt >= kReactivationClick) {
    popover.shown = true;
    popover.shownAt = now;
    popover.focusTaken = false;
    delegate_.popoverWillShow(*this, button.extension().identifier);
  }
}

void BrowserWindow::popoverDismissed(const std::string& extensionIdentifier) {
  if (ToolbarButton* button = toolbarButton(extensionIdentifier)) {
    button->popover().shown = false;
    button->popover().focusTaken = false;
  }
}

ToolbarButton* BrowserWindow::toolbarButton(const std::string& extensionIdentifier) const {
  for (const auto& button : buttons_) {
    if (button->extension().identifier == extensionIdentifier) return button.get();
  }
  return nullptr;
}

void BrowserWindow::updateExtensions() {
  if (closed_) return;
  std::vector<std::unique_ptr<ToolbarButton>> next;
  bool added = false;
  for (const auto& extension : delegate_.enabledExtensions()) {
    if (!extension->toolbarItem) continue;
    auto existing = std::find_if(buttons_.begin(), buttons_.end(), [&](const auto& button) {
      return &button->extension() == extension.get();
    });
    if (existing != buttons_.end()) {
      next.push_back(std::move(*existing));
      buttons_.erase(existing);
      continue;
    }
    auto button =
        std::make_unique<ToolbarButton>(extension, [this, identifier = extension->identifier] {
          if (ToolbarButton* clicked = toolbarButton(identifier)) toolbarButtonClicked(*clicked);
        });
    next.push_back(std::move(button));
    added = true;
  }
  buttons_.clear();  // what is left belongs to extensions no longer enabled
  buttons_ = std::move(next);
  for (const auto& button : buttons_) {
    if (gtk_widget_get_parent(button->widget()) == nullptr) {
      gtk_box_append(GTK_BOX(toolbarBox_), button->widget());
    }
  }
  for (const auto& tab : tabs_) tab->updateExtensions();
  if (added) delegate_.toolbarItemsNeedValidation(*this);
}

void BrowserWindow::tabStateChanged(Tab& tab) {
  if (closed_) return;
  AdwTabPage* page = adw_tab_view_get_page(tabView_, tab.widget());
  if (page == nullptr) return;
  std::string title = tab.title();
  if (title.empty()) title = tab.url();
  if (title.empty() || title == "about:blank") title = "New Tab";
  adw_tab_page_set_title(page, title.c_str());
  // The tooltip is Pango markup: a URL's "&" would otherwise break it.
  GCharPtr tooltip(g_markup_escape_text(tab.url().c_str(), -1));
  adw_tab_page_set_tooltip(page, tooltip.get());
  adw_tab_page_set_loading(page, tab.isLoading());
  if (&tab != activeTab()) return;
  gtk_window_set_title(GTK_WINDOW(window_.get()), title.c_str());
  GtkWidget* focus = gtk_root_get_focus(GTK_ROOT(window_.get()));
  bool editing = focus != nullptr && (focus == address_ || gtk_widget_is_ancestor(focus, address_));
  if (!editing) {
    std::string url = tab.url() == "about:blank" ? "" : tab.url();
    gtk_editable_set_text(GTK_EDITABLE(address_), url.c_str());
  }
  updateNavigationButtons();
}

void BrowserWindow::tabPageChanged(Tab& tab) {
  if (!closed_ && &tab == activeTab()) delegate_.toolbarItemsNeedValidation(*this);
}

void BrowserWindow::updateNavigationButtons() {
  Tab* tab = activeTab();
  GActionMap* actions = G_ACTION_MAP(window_.get());
  g_simple_action_set_enabled(G_SIMPLE_ACTION(g_action_map_lookup_action(actions, "back")),
                              tab != nullptr && tab->canGoBack());
  g_simple_action_set_enabled(G_SIMPLE_ACTION(g_action_map_lookup_action(actions, "forward")),
                              tab != nullptr && tab->canGoForward());
}

void BrowserWindow::focusAddressBar() {
  gtk_widget_grab_focus(address_);
  gtk_editable_select_region(GTK_EDITABLE(address_), 0, -1);
}

void BrowserWindow::onAddressActivated() {
  std::optional<std::string> url =
      urlFromAddressText(gtk_editable_get_text(GTK_EDITABLE(address_)));
  Tab* tab = activeTab();
  if (!url || tab == nullptr) return;
  tab->load(*url);
  gtk_widget_grab_focus(tab->widget());
}

}  // namespace qv::host
