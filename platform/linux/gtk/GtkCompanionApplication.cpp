#include "platform/linux/gtk/GtkCompanionApplication.h"

#include <adwaita.h>
#include <gtk/gtk.h>

#include <utility>

namespace qv {
namespace {

constexpr const char* showWindowAction = "show-window";

// "<Control>q" for Command-Q: Ctrl stands where the Mac has Command.
std::string accelerator(const MenuItem& item) {
  if (item.keyEquivalent.empty()) return "";
  return (item.commandModifier ? "<Control>" : "") + item.keyEquivalent;
}

using Perform = std::function<void()>;

void runPerform(GSimpleAction* /*action*/, GVariant* /*parameter*/, gpointer data) {
  (*static_cast<Perform*>(data))();
}

void deletePerform(gpointer data, GClosure* /*closure*/) {
  delete static_cast<Perform*>(data);
}

bool isOnScreen(GtkWindow* window) {
  if (!gtk_widget_get_visible(GTK_WIDGET(window))) return false;
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
  if (surface != nullptr && GDK_IS_TOPLEVEL(surface)) {
    return (gdk_toplevel_get_state(GDK_TOPLEVEL(surface)) & GDK_TOPLEVEL_STATE_MINIMIZED) == 0;
  }
  return true;
}

}  // namespace

GtkCompanionApplication::GtkCompanionApplication(const std::string& applicationId,
                                                 std::string appName, std::string version, int argc,
                                                 char** argv)
    : application_(
          GTK_APPLICATION(adw_application_new(applicationId.c_str(), G_APPLICATION_HANDLES_OPEN))),
      appName_(std::move(appName)),
      version_(std::move(version)),
      argc_(argc),
      argv_(argv) {
  g_signal_connect(application_.get(), "startup", G_CALLBACK(onStartup), this);
  g_signal_connect(application_.get(), "activate", G_CALLBACK(onActivate), this);
  g_signal_connect(application_.get(), "open", G_CALLBACK(onOpen), this);

  addAction("about", [this] { showAboutPanel(); });
  addAction("quit", [this] { terminate(); });
  addAction("close-window", [this] {
    if (GtkWindow* window = gtk_application_get_active_window(application_.get())) {
      gtk_window_close(window);
    }
  });
  addAction("minimize-window", [this] {
    if (GtkWindow* window = gtk_application_get_active_window(application_.get())) {
      gtk_window_minimize(window);
    }
  });
  addAction("bring-all-to-front", [this] {
    for (GList* it = gtk_application_get_windows(application_.get()); it; it = it->next) {
      GtkWindow* window = GTK_WINDOW(it->data);
      if (gtk_widget_get_visible(GTK_WIDGET(window))) gtk_window_present(window);
    }
  });

  GSimpleAction* showWindow = g_simple_action_new(showWindowAction, G_VARIANT_TYPE_INT32);
  g_signal_connect(
      showWindow, "activate", G_CALLBACK(+[](GSimpleAction*, GVariant* parameter, gpointer data) {
        auto* self = static_cast<GtkCompanionApplication*>(data);
        gint32 index = g_variant_get_int32(parameter);
        if (index < 0 || static_cast<std::size_t>(index) >= self->windowsEntries_.size()) {
          return;
        }
        if (auto window = self->windowsEntries_[index].window.lock()) {
          window->makeKeyAndOrderFront();
        }
      }),
      this);
  g_action_map_add_action(G_ACTION_MAP(application_.get()), G_ACTION(showWindow));
  g_object_unref(showWindow);
}

GtkCompanionApplication::~GtkCompanionApplication() {
  g_signal_handlers_disconnect_by_data(application_.get(), this);
}

void GtkCompanionApplication::addAction(const std::string& name, std::function<void()> perform) {
  GSimpleAction* action = g_simple_action_new(name.c_str(), nullptr);
  g_signal_connect_data(action, "activate", G_CALLBACK(runPerform), new Perform(std::move(perform)),
                        deletePerform, GConnectFlags(0));
  g_action_map_add_action(G_ACTION_MAP(application_.get()), G_ACTION(action));
  g_object_unref(action);
}

bool GtkCompanionApplication::isRemote() {
  GError* error = nullptr;
  if (!g_application_register(G_APPLICATION(application_.get()), nullptr, &error)) {
    // Without a session bus the application runs on its own.
    g_warning("Could not register the application: %s", error ? error->message : "unknown");
    g_clear_error(&error);
    return false;
  }
  return g_application_get_is_remote(G_APPLICATION(application_.get()));
}

void GtkCompanionApplication::setMainMenu(std::shared_ptr<Menu> menu) {
  mainMenu_ = std::move(menu);
  if (started_) installMenuBar();
}

void GtkCompanionApplication::setWindowsMenu(std::shared_ptr<Menu> menu) {
  windowsMenu_ = std::move(menu);
}

void GtkCompanionApplication::setDelegate(std::weak_ptr<ApplicationDelegate> delegate) {
  delegate_ = std::move(delegate);
}

void GtkCompanionApplication::addWindowsItem(std::shared_ptr<Window> window,
                                             const std::string& title, bool /*isFilename*/) {
  bool known = false;
  for (auto& entry : windowsEntries_) {
    if (entry.window.lock() == window) {
      entry.title = title;
      known = true;
    }
  }
  if (!known) windowsEntries_.push_back(WindowsEntry{window, title});
  rebuildWindowsSection();
}

void GtkCompanionApplication::rebuildWindowsSection() {
  if (!windowsSection_) return;
  g_menu_remove_all(windowsSection_.get());
  for (std::size_t i = 0; i < windowsEntries_.size(); ++i) {
    if (windowsEntries_[i].window.expired()) continue;
    GMenuItem* item = g_menu_item_new(windowsEntries_[i].title.c_str(), nullptr);
    g_menu_item_set_action_and_target_value(item, (std::string("app.") + showWindowAction).c_str(),
                                            g_variant_new_int32(static_cast<gint32>(i)));
    g_menu_append_item(windowsSection_.get(), item);
    g_object_unref(item);
  }
}

std::string GtkCompanionApplication::actionFor(const MenuItem& item) {
  switch (item.action) {
    case MenuAction::orderFrontStandardAboutPanel:
      return "about";
    case MenuAction::terminate:
      return "quit";
    case MenuAction::performClose:
      return "close-window";
    case MenuAction::performMiniaturize:
      return "minimize-window";
    case MenuAction::arrangeInFront:
      return "bring-all-to-front";
    case MenuAction::target: {
      std::string name = "menu-item-" + std::to_string(targetActionCount_++);
      Perform perform = item.perform;
      addAction(name, [perform] {
        if (perform) perform();
      });
      return name;
    }
    case MenuAction::none:
      break;
  }
  return "";
}

GObjectRef<GMenu> GtkCompanionApplication::buildMenu(const Menu& menu) {
  // GMenu draws separators between sections; a menu without separators (the menu bar)
  // holds its items directly.
  std::vector<GObjectRef<GMenu>> sections;
  GObjectRef<GMenu> section(g_menu_new());
  auto closeSection = [&] {
    if (g_menu_model_get_n_items(G_MENU_MODEL(section.get())) > 0) {
      sections.push_back(std::move(section));
    }
    section = GObjectRef<GMenu>(g_menu_new());
  };
  for (const MenuItem& item : menu.items()) {
    if (item.isSeparator) {
      closeSection();
      continue;
    }
    if (item.submenu) {
      GObjectRef<GMenu> submenu = buildMenu(*item.submenu);
      std::string label = item.title.empty() ? item.submenu->title() : item.title;
      if (label.empty()) label = appName_;  // the application menu
      g_menu_append_submenu(section.get(), label.c_str(), G_MENU_MODEL(submenu.get()));
      continue;
    }
    std::string action = actionFor(item);
    GMenuItem* entry =
        g_menu_item_new(item.title.c_str(), action.empty() ? nullptr : ("app." + action).c_str());
    std::string accel = accelerator(item);
    if (!action.empty() && !accel.empty()) {
      g_menu_item_set_attribute(entry, "accel", "s", accel.c_str());
      const char* accels[] = {accel.c_str(), nullptr};
      gtk_application_set_accels_for_action(application_.get(), ("app." + action).c_str(), accels);
    }
    g_menu_append_item(section.get(), entry);
    g_object_unref(entry);
  }
  closeSection();
  const bool isWindowsMenu = windowsMenu_ && &menu == windowsMenu_.get();
  if (sections.size() == 1 && !isWindowsMenu) return std::move(sections.front());
  GObjectRef<GMenu> result(g_menu_new());
  for (const auto& part : sections) {
    g_menu_append_section(result.get(), nullptr, G_MENU_MODEL(part.get()));
  }
  if (isWindowsMenu) {
    windowsSection_ = GObjectRef<GMenu>(g_menu_new());
    g_menu_append_section(result.get(), nullptr, G_MENU_MODEL(windowsSection_.get()));
    rebuildWindowsSection();
  }
  return result;
}

void GtkCompanionApplication::installMenuBar() {
  if (!mainMenu_ || installedMenu_ == mainMenu_.get()) return;
  installedMenu_ = mainMenu_.get();
  GObjectRef<GMenu> menubar = buildMenu(*mainMenu_);
  gtk_application_set_menubar(application_.get(), G_MENU_MODEL(menubar.get()));
}

int GtkCompanionApplication::run() {
  // isRemote() registers, and registering runs startup: the menu and the delegate
  // that were set since then still need their part of it.
  if (started_) beginLaunching();
  return g_application_run(G_APPLICATION(application_.get()), argc_, argv_);
}

void GtkCompanionApplication::beginLaunching() {
  installMenuBar();
  if (willFinishDelivered_) return;
  if (auto delegate = delegate_.lock()) {
    willFinishDelivered_ = true;
    delegate->applicationWillFinishLaunching();
  }
}

void GtkCompanionApplication::terminate() {
  g_application_quit(G_APPLICATION(application_.get()));
}

void GtkCompanionApplication::setEventHandler(Handler handler, FourCharCode eventClass,
                                              FourCharCode eventID) {
  handlers_[{eventClass, eventID}] = std::move(handler);
}

bool GtkCompanionApplication::hasVisibleWindows() const {
  for (GList* it = gtk_application_get_windows(application_.get()); it; it = it->next) {
    if (isOnScreen(GTK_WINDOW(it->data))) return true;
  }
  return false;
}

void GtkCompanionApplication::onStartup(GApplication* application, gpointer data) {
  auto* self = static_cast<GtkCompanionApplication*>(data);
  // Closing the window must not end the application; only Quit does.
  g_application_hold(application);
  self->started_ = true;
  self->beginLaunching();
}

void GtkCompanionApplication::onActivate(GApplication* /*application*/, gpointer data) {
  auto* self = static_cast<GtkCompanionApplication*>(data);
  if (!self->launched_) return self->finishLaunching();
  if (auto delegate = self->delegate_.lock()) {
    delegate->applicationShouldHandleReopen(self->hasVisibleWindows());
  }
}

void GtkCompanionApplication::onOpen(GApplication* /*application*/, GFile** files, int count,
                                     const char* /*hint*/, gpointer data) {
  auto* self = static_cast<GtkCompanionApplication*>(data);
  for (int i = 0; i < count; ++i) {
    GCharPtr uri(g_file_get_uri(files[i]));
    if (uri) self->deliverUrl(uri.get());
  }
  if (!self->launched_) self->finishLaunching();
}

void GtkCompanionApplication::finishLaunching() {
  beginLaunching();  // will-finish always comes first
  launched_ = true;
  if (auto delegate = delegate_.lock()) delegate->applicationDidFinishLaunching();
}

void GtkCompanionApplication::deliverUrl(const std::string& url) {
  auto it = handlers_.find({kInternetEventClass, kAEGetURL});
  if (it == handlers_.end() || !it->second) {
    g_warning("No handler for the URL that was opened");
    return;
  }
  AppleEventDescriptor event;
  event.parameters[keyDirectObject] = url;
  AppleEventDescriptor reply;
  it->second(event, reply);
}

void GtkCompanionApplication::showAboutPanel() {
  GtkWidget* about = adw_about_window_new();
  adw_about_window_set_application_name(ADW_ABOUT_WINDOW(about), appName_.c_str());
  adw_about_window_set_version(ADW_ABOUT_WINDOW(about), version_.c_str());
  if (GtkWindow* parent = gtk_application_get_active_window(application_.get())) {
    gtk_window_set_transient_for(GTK_WINDOW(about), parent);
  }
  gtk_window_present(GTK_WINDOW(about));
}

}  // namespace qv
