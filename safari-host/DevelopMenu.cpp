#include "safari-host/DevelopMenu.h"

#include <gtk/gtk.h>

#include "platform/Json.h"
#include "platform/JsonFields.h"
#include "platform/linux/system/Files.h"
#include "platform/linux/system/XdgPaths.h"
#include "safari-host/Log.h"

namespace qv::host {
namespace {

constexpr const char* kSwitchAction = "show-developer-features";
constexpr const char* kSettingKey = "showDeveloperFeatures";
// A settings file is a few bytes; anything larger is not ours.
constexpr std::size_t kMaxSettingsSize = 64 * 1024;

struct RequestAction {
  const char* name;
  const char* label;
  DevelopMenu::Request request;
};
constexpr RequestAction kRequests[] = {
    {"develop-inspect-background", "Background Page", DevelopMenu::Request::inspectBackground},
    {"develop-inspect-popup", "Settings Popup", DevelopMenu::Request::inspectPopup},
    {"develop-reload-background", "Reload Background Page", DevelopMenu::Request::reloadBackground},
};

bool readShown(const std::string& path) {
  std::optional<std::string> text = files::read(path, kMaxSettingsSize);
  if (!text) return false;
  Json settings = Json::parse(*text, nullptr, /*allow_exceptions=*/false);
  return json::boolean(settings, kSettingKey).value_or(false);
}

}  // namespace

DevelopMenu::DevelopMenu(GtkApplication* application, std::string settingsPath,
                         ListExtensions extensions, Send send)
    : application_(application),
      settingsPath_(std::move(settingsPath)),
      extensions_(std::move(extensions)),
      send_(std::move(send)),
      shown_(readShown(settingsPath_)),
      section_(g_menu_new()) {
  GSimpleAction* toggle =
      g_simple_action_new_stateful(kSwitchAction, nullptr, g_variant_new_boolean(shown_));
  g_signal_connect(toggle, "change-state",
                   G_CALLBACK(+[](GSimpleAction*, GVariant* state, DevelopMenu* self) {
                     self->setShown(g_variant_get_boolean(state));
                   }),
                   this);
  actions_.emplace_back(toggle);
  for (const RequestAction& entry : kRequests) {
    GSimpleAction* action = g_simple_action_new(entry.name, G_VARIANT_TYPE_STRING);
    g_object_set_data(G_OBJECT(action), "qv-request",
                      GINT_TO_POINTER(static_cast<int>(entry.request)));
    g_signal_connect(
        action, "activate",
        G_CALLBACK(+[](GSimpleAction* action, GVariant* identifier, DevelopMenu* self) {
          auto request = static_cast<Request>(
              GPOINTER_TO_INT(g_object_get_data(G_OBJECT(action), "qv-request")));
          self->send_(g_variant_get_string(identifier, nullptr), request);
        }),
        this);
    actions_.emplace_back(action);
  }
  for (const auto& action : actions_) {
    g_action_map_add_action(G_ACTION_MAP(application_), G_ACTION(action.get()));
  }
  refresh();
}

DevelopMenu::~DevelopMenu() {
  for (const auto& action : actions_) {
    g_signal_handlers_disconnect_by_data(action.get(), this);
    g_action_map_remove_action(G_ACTION_MAP(application_),
                               g_action_get_name(G_ACTION(action.get())));
  }
}

GMenuModel* DevelopMenu::section() const {
  return G_MENU_MODEL(section_.get());
}

void DevelopMenu::refresh() {
  g_menu_remove_all(section_.get());
  if (!shown_) return;
  GObjectRef<GMenu> develop(g_menu_new());
  const std::vector<Extension> extensions = extensions_();
  for (const Extension& extension : extensions) {
    GObjectRef<GMenu> items(g_menu_new());
    for (const RequestAction& entry : kRequests) {
      GObjectRef<GMenuItem> item(g_menu_item_new(entry.label, nullptr));
      g_menu_item_set_action_and_target_value(item.get(),
                                              (std::string("app.") + entry.name).c_str(),
                                              g_variant_new_string(extension.identifier.c_str()));
      g_menu_append_item(items.get(), item.get());
    }
    // Names come from bundles; menu labels are not markup, only mnemonics matter.
    std::string label = extension.displayName;
    for (std::size_t at = 0; (at = label.find('_', at)) != std::string::npos; at += 2) {
      label.insert(at, "_");
    }
    g_menu_append_section(develop.get(), label.c_str(), G_MENU_MODEL(items.get()));
  }
  if (extensions.empty()) {
    GObjectRef<GMenuItem> none(g_menu_item_new("No Extensions Enabled", "app.develop-none"));
    g_menu_append_item(develop.get(), none.get());
  }
  g_menu_append_submenu(section_.get(), "Develop", G_MENU_MODEL(develop.get()));
}

void DevelopMenu::setShown(bool shown) {
  if (shown == shown_) return;
  shown_ = shown;
  GAction* toggle = g_action_map_lookup_action(G_ACTION_MAP(application_), kSwitchAction);
  g_simple_action_set_state(G_SIMPLE_ACTION(toggle), g_variant_new_boolean(shown));
  const std::string text = Json{{kSettingKey, shown}}.dump(2) + "\n";
  if (!xdg::makeDirectories(files::directoryOf(settingsPath_), 0700) ||
      !files::writeAtomically(settingsPath_, text)) {
    logError("cannot write " + settingsPath_ + "; the setting holds until safari-host quits");
  }
  refresh();
}

}  // namespace qv::host
