#include "safari-host/PreferencesWindow.h"

#include <adwaita.h>

#include <algorithm>

#include "platform/linux/system/MainContext.h"
#include "safari-host/ExtensionRegistry.h"

namespace qv::host {

PreferencesWindow::PreferencesWindow(GtkApplication* application, ExtensionRegistry& registry)
    : application_(application), registry_(registry) {
  GtkWidget* window = adw_preferences_window_new();
  window_ = GObjectRef<GtkWidget>::retain(window);
  gtk_window_set_title(GTK_WINDOW(window), "Extensions");
  gtk_window_set_default_size(GTK_WINDOW(window), 640, 480);
  gtk_window_set_hide_on_close(GTK_WINDOW(window), TRUE);
  adw_preferences_window_set_search_enabled(ADW_PREFERENCES_WINDOW(window), FALSE);
  page_ = adw_preferences_page_new();
  adw_preferences_page_set_title(ADW_PREFERENCES_PAGE(page_), "Extensions");
  adw_preferences_page_set_icon_name(ADW_PREFERENCES_PAGE(page_), "application-x-addon-symbolic");
  adw_preferences_window_add(ADW_PREFERENCES_WINDOW(window), ADW_PREFERENCES_PAGE(page_));
  addAdvancedPage();
  g_signal_connect_swapped(window, "map", G_CALLBACK(+[](PreferencesWindow* self) {
                             auto callbacks = std::move(self->pendingShown_);
                             self->pendingShown_.clear();
                             for (auto& callback : callbacks) callback();
                           }),
                           this);
  // Part of the application only while shown, so that a hidden preferences window does
  // not keep the browser running after its last browser window closed.
  g_signal_connect_swapped(window, "hide", G_CALLBACK(+[](PreferencesWindow* self) {
                             gtk_window_set_application(GTK_WINDOW(self->window_.get()), nullptr);
                           }),
                           this);
  rebuild();
}

PreferencesWindow::~PreferencesWindow() {
  *alive_ = false;
  g_signal_handlers_disconnect_by_data(window_.get(), this);
  for (const Row& row : rows_) g_signal_handler_disconnect(row.toggle, row.handler);
  gtk_window_destroy(GTK_WINDOW(window_.get()));
}

void PreferencesWindow::addAdvancedPage() {
  GtkWidget* page = adw_preferences_page_new();
  adw_preferences_page_set_title(ADW_PREFERENCES_PAGE(page), "Advanced");
  adw_preferences_page_set_icon_name(ADW_PREFERENCES_PAGE(page), "preferences-other-symbolic");
  GtkWidget* group = adw_preferences_group_new();
  GtkWidget* row = adw_action_row_new();
  adw_preferences_row_set_title(ADW_PREFERENCES_ROW(row), "Show features for web developers");
  adw_action_row_set_subtitle(ADW_ACTION_ROW(row),
                              "Adds a Develop menu that inspects extensions' own pages");
  GtkWidget* toggle = gtk_switch_new();
  gtk_widget_set_valign(toggle, GTK_ALIGN_CENTER);
  // The Develop menu owns the setting; the switch follows its action's state.
  gtk_actionable_set_action_name(GTK_ACTIONABLE(toggle), "app.show-developer-features");
  adw_action_row_add_suffix(ADW_ACTION_ROW(row), toggle);
  adw_action_row_set_activatable_widget(ADW_ACTION_ROW(row), toggle);
  adw_preferences_group_add(ADW_PREFERENCES_GROUP(group), row);
  adw_preferences_page_add(ADW_PREFERENCES_PAGE(page), ADW_PREFERENCES_GROUP(group));
  adw_preferences_window_add(ADW_PREFERENCES_WINDOW(window_.get()), ADW_PREFERENCES_PAGE(page));
}

void PreferencesWindow::rebuild() {
  rebuildPending_ = false;
  for (const Row& row : rows_) g_signal_handler_disconnect(row.toggle, row.handler);
  rows_.clear();
  if (group_ != nullptr) {
    adw_preferences_page_remove(ADW_PREFERENCES_PAGE(page_), ADW_PREFERENCES_GROUP(group_));
  }
  group_ = adw_preferences_group_new();
  adw_preferences_group_set_title(ADW_PREFERENCES_GROUP(group_), "Installed Extensions");
  const auto& extensions = registry_.extensions();
  adw_preferences_group_set_description(
      ADW_PREFERENCES_GROUP(group_), extensions.empty()
                                         ? "No application has installed an extension yet."
                                         : "Turn an extension on to let it run in every web page.");
  for (const auto& extension : extensions) {
    GtkWidget* row = adw_action_row_new();
    // Names come from bundles: shown as they are, never read as markup.
    adw_preferences_row_set_use_markup(ADW_PREFERENCES_ROW(row), FALSE);
    adw_preferences_row_set_title(ADW_PREFERENCES_ROW(row), extension->displayName.c_str());
    adw_action_row_set_subtitle(ADW_ACTION_ROW(row), subtitleFor(*extension).c_str());
    GtkWidget* toggle = gtk_switch_new();
    gtk_widget_set_valign(toggle, GTK_ALIGN_CENTER);
    gtk_switch_set_active(GTK_SWITCH(toggle), registry_.isEnabled(extension->identifier));
    adw_action_row_add_suffix(ADW_ACTION_ROW(row), toggle);
    adw_action_row_set_activatable_widget(ADW_ACTION_ROW(row), toggle);
    struct Binding {
      PreferencesWindow* self;
      std::string identifier;
    };
    gulong handler = g_signal_connect_data(
        toggle, "notify::active", G_CALLBACK(+[](GtkSwitch* toggle, GParamSpec*, Binding* binding) {
          binding->self->registry_.setEnabled(binding->identifier, gtk_switch_get_active(toggle));
        }),
        new Binding{this, extension->identifier},
        +[](gpointer data, GClosure*) { delete static_cast<Binding*>(data); }, GConnectFlags(0));
    adw_preferences_group_add(ADW_PREFERENCES_GROUP(group_), row);
    rows_.push_back(Row{extension->identifier, row, toggle, handler});
  }
  adw_preferences_page_add(ADW_PREFERENCES_PAGE(page_), ADW_PREFERENCES_GROUP(group_));
}

std::string PreferencesWindow::subtitleFor(const ExtensionInfo& extension) const {
  std::string subtitle = extension.identifier;
  if (!extension.appName.empty()) subtitle += " — from " + extension.appName;
  // Why a switched-on extension does nothing for a while.
  if (std::optional<std::chrono::seconds> delay =
          restartDelay_ ? restartDelay_(extension.identifier) : std::nullopt) {
    subtitle += " — stopped after exiting repeatedly; waiting to restart (" +
                std::to_string(std::max<long long>(delay->count(), 1)) + " s)";
  }
  return subtitle;
}

void PreferencesWindow::refresh() {
  const auto& extensions = registry_.extensions();
  bool sameSet = extensions.size() == rows_.size();
  for (std::size_t index = 0; sameSet && index < rows_.size(); ++index) {
    sameSet = rows_[index].identifier == extensions[index]->identifier;
  }
  if (sameSet) {
    for (std::size_t index = 0; index < rows_.size(); ++index) {
      const Row& row = rows_[index];
      g_signal_handler_block(row.toggle, row.handler);
      gtk_switch_set_active(GTK_SWITCH(row.toggle), registry_.isEnabled(row.identifier));
      g_signal_handler_unblock(row.toggle, row.handler);
      adw_action_row_set_subtitle(ADW_ACTION_ROW(row.row), subtitleFor(*extensions[index]).c_str());
    }
    return;
  }
  // Possibly reached from a switch's own signal: replace the rows afterwards.
  if (rebuildPending_) return;
  rebuildPending_ = true;
  postToMain([this, alive = std::weak_ptr<bool>(alive_)] {
    if (auto running = alive.lock(); running && *running && rebuildPending_) rebuild();
  });
}

void PreferencesWindow::focusRow(const std::string& identifier) {
  for (const Row& row : rows_) {
    if (row.identifier == identifier) gtk_widget_grab_focus(row.row);
  }
}

void PreferencesWindow::show(const std::optional<std::string>& identifier,
                             std::function<void()> onShown) {
  if (rebuildPending_) rebuild();
  GtkWidget* window = window_.get();
  if (gtk_window_get_application(GTK_WINDOW(window)) == nullptr) {
    gtk_window_set_application(GTK_WINDOW(window), application_);
  }
  gtk_window_present(GTK_WINDOW(window));
  if (identifier) focusRow(*identifier);
  if (!onShown) return;
  if (gtk_widget_get_mapped(window)) {
    onShown();
    return;
  }
  pendingShown_.push_back(std::move(onShown));  // run by the "map" handler
}

}  // namespace qv::host
