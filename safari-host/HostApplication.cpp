#include "safari-host/HostApplication.h"

#include <adwaita.h>
#include <glib-unix.h>

#include <csignal>
#include <utility>

#include "ipc/Paths.h"
#include "ipc/Protocol.h"
#include "platform/linux/system/XdgPaths.h"
#include "safari-host/AutomationCommands.h"
#include "safari-host/Browser.h"
#include "safari-host/BrowserWindow.h"
#include "safari-host/ChildReaper.h"
#include "safari-host/CompanionCommands.h"
#include "safari-host/ControlServer.h"
#include "safari-host/ExtensionHost.h"
#include "safari-host/ExtensionRegistry.h"
#include "safari-host/Log.h"
#include "safari-host/PreferencesWindow.h"

namespace qv::host {
namespace {

constexpr const char* kApplicationId = "com.quorvane.SafariHost";

constexpr const char* kStyle = R"CSS(
.qv-badge {
  background-color: #e01b24;
  color: #ffffff;
  border-radius: 999px;
  padding: 0 4px;
  min-width: 8px;
  font-size: 9px;
  font-weight: bold;
}
.qv-automation {
  background-color: #e66100;
  color: #ffffff;
  padding: 4px;
  font-weight: bold;
}
)CSS";

}  // namespace

HostApplication::HostApplication(std::vector<std::string> urls, bool automation)
    : urls_(std::move(urls)), automation_(automation) {}

HostApplication::~HostApplication() {
  shutdown();
}

int HostApplication::run(const char* programName) {
  // Non-unique: every test run starts its own browser on the shared session bus; a second
  // launch by a person is forwarded over the control socket instead (see main.cpp).
  application_ =
      GObjectRef<AdwApplication>(adw_application_new(kApplicationId, G_APPLICATION_NON_UNIQUE));
  g_signal_connect_swapped(application_.get(), "startup",
                           G_CALLBACK(+[](HostApplication* self) { self->startup(); }), this);
  g_signal_connect_swapped(application_.get(), "activate",
                           G_CALLBACK(+[](HostApplication* self) { self->activate(); }), this);
  g_signal_connect_swapped(application_.get(), "shutdown",
                           G_CALLBACK(+[](HostApplication* self) { self->shutdown(); }), this);
  char* argv[] = {const_cast<char*>(programName), nullptr};
  return g_application_run(G_APPLICATION(application_.get()), 1, argv);
}

void HostApplication::startup() {
  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css, kStyle, -1);
  gtk_style_context_add_provider_for_display(gdk_display_get_default(), GTK_STYLE_PROVIDER(css),
                                             GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);

  GtkApplication* application = GTK_APPLICATION(application_.get());
  reaper_ = std::make_unique<ChildReaper>();
  registry_ =
      std::make_unique<ExtensionRegistry>(ipc::registrationFolder(), ipc::extensionChoicesPath());
  extensions_ = std::make_unique<ExtensionHost>(*registry_, *reaper_);
  browser_ = std::make_unique<Browser>(application, *extensions_, automation_);
  extensions_->setBrowser(*browser_);
  preferences_ = std::make_unique<PreferencesWindow>(application, *registry_);
  developMenu_ = std::make_unique<DevelopMenu>(
      application, xdg::configHome() + "/safari-host/settings.json",
      [this] {
        std::vector<DevelopMenu::Extension> listed;
        for (const auto& extension : registry_->enabledExtensions()) {
          listed.push_back({extension->identifier, extension->displayName});
        }
        return listed;
      },
      [this](const std::string& identifier, DevelopMenu::Request request) {
        sendDeveloperRequest(identifier, request);
      });
  browser_->setMenuSection(developMenu_->section());
  preferences_->setRestartDelay(
      [this](const std::string& identifier) { return extensions_->restartDelay(identifier); });
  extensions_->setOnRestartsChanged([this] { preferences_->refresh(); });
  extensions_->setShowPreferences([this] { preferences_->show(std::nullopt, nullptr); });
  registry_->setOnChanged([this] { extensionsChanged(); });
  registry_->start();

  companion_ = std::make_unique<CompanionCommands>(
      *registry_, *extensions_, [this](const std::string& identifier, std::function<void()> shown) {
        preferences_->show(identifier, std::move(shown));
      });
  automationCommands_ = std::make_unique<AutomationCommands>(
      *browser_, *registry_, *extensions_,
      [this] { g_application_quit(G_APPLICATION(application_.get())); });
  controlCalls_ = std::make_unique<ipc::Dispatcher>(ipc::control::methods);
  controlCalls_->setAutomationAllowed(automation_);
  controlCalls_->on(ipc::control::openUrl,
                    [this](const Json& args, const ipc::Responder& responder) {
                      browser_->openWindow(args["url"].get<std::string>());
                      responder.reply();
                    });
  companion_->registerOn(*controlCalls_);
  automationCommands_->registerOn(*controlCalls_);
  control_ = std::make_unique<ControlServer>(
      [this](const std::string& method, const Json& args, ipc::Responder responder) {
        controlCalls_->dispatch(method, args, responder);
      },
      [this](std::size_t clients) { controlClientsChanged(clients); });
  if (std::optional<std::string> error = control_->listen(ipc::controlSocketPath())) {
    logError("no control socket: " + *error);
  }
  installApplicationActions();
  // A desktop session ends programs with SIGTERM: close down as "Quit" does.
  for (int signal : {SIGTERM, SIGINT}) {
    signalSources_.push_back(g_unix_signal_add(
        signal,
        +[](gpointer data) -> gboolean {
          g_application_quit(
              G_APPLICATION(static_cast<HostApplication*>(data)->application_.get()));
          return G_SOURCE_CONTINUE;
        },
        this));
  }
}

void HostApplication::installApplicationActions() {
  GActionMap* actions = G_ACTION_MAP(application_.get());
  struct Entry {
    const char* name;
    void (*handler)(GSimpleAction*, GVariant*, gpointer);
  };
  static const Entry kEntries[] = {
      {"new-window",
       [](GSimpleAction*, GVariant*, gpointer data) {
         auto* self = static_cast<HostApplication*>(data);
         self->browser_->openWindow("about:blank").focusAddressBar();
       }},
      {"preferences",
       [](GSimpleAction*, GVariant*, gpointer data) {
         static_cast<HostApplication*>(data)->preferences_->show(std::nullopt, nullptr);
       }},
      {"quit",
       [](GSimpleAction*, GVariant*, gpointer data) {
         g_application_quit(G_APPLICATION(static_cast<HostApplication*>(data)->application_.get()));
       }},
  };
  for (const Entry& entry : kEntries) {
    GSimpleAction* action = g_simple_action_new(entry.name, nullptr);
    g_signal_connect(action, "activate", G_CALLBACK(entry.handler), this);
    g_action_map_add_action(actions, G_ACTION(action));
    g_object_unref(action);
  }
  GtkApplication* application = GTK_APPLICATION(application_.get());
  struct Accelerator {
    const char* action;
    const char* keys[3];
  };
  static const Accelerator kAccelerators[] = {
      {"app.new-window", {"<Control>n", nullptr, nullptr}},
      {"app.quit", {"<Control>q", nullptr, nullptr}},
      {"win.new-tab", {"<Control>t", nullptr, nullptr}},
      {"win.close-tab", {"<Control>w", nullptr, nullptr}},
      {"win.focus-address", {"<Control>l", "F6", nullptr}},
      {"win.back", {"<Alt>Left", nullptr, nullptr}},
      {"win.forward", {"<Alt>Right", nullptr, nullptr}},
      {"win.reload", {"<Control>r", "F5", nullptr}},
  };
  for (const Accelerator& accelerator : kAccelerators) {
    gtk_application_set_accels_for_action(application, accelerator.action, accelerator.keys);
  }
}

void HostApplication::activate() {
  if (!browser_->windows().empty()) {
    browser_->activeWindow()->present();
    return;
  }
  BrowserWindow& window = browser_->openWindow(urls_.empty() ? "about:blank" : urls_.front());
  for (std::size_t index = 1; index < urls_.size(); ++index) window.openTab(urls_[index], false);
  if (urls_.empty()) window.focusAddressBar();
}

void HostApplication::extensionsChanged() {
  extensions_->extensionsChanged();
  preferences_->refresh();
  developMenu_->refresh();
}

void HostApplication::sendDeveloperRequest(const std::string& identifier,
                                           DevelopMenu::Request request) {
  using Request = DevelopMenu::Request;
  std::optional<std::string> error =
      request == Request::reloadBackground
          ? extensions_->notifyExtension(identifier, ipc::handler::reloadBackgroundPage,
                                         Json::object())
          : extensions_->notifyExtension(
                identifier, ipc::handler::showWebInspector,
                Json{{"target", request == Request::inspectPopup ? "popup" : "background"}});
  if (error) logError("Develop menu: " + *error);
}

void HostApplication::controlClientsChanged(std::size_t clients) {
  // While a client is connected the browser stays up, even with every window closed.
  bool hold = clients > 0;
  if (hold == holdingForClients_) return;
  holdingForClients_ = hold;
  if (hold) {
    g_application_hold(G_APPLICATION(application_.get()));
  } else {
    g_application_release(G_APPLICATION(application_.get()));
  }
}

void HostApplication::shutdown() {
  for (unsigned source : std::exchange(signalSources_, {})) g_source_remove(source);
  control_.reset();
  controlCalls_.reset();
  automationCommands_.reset();
  companion_.reset();
  if (registry_) registry_->setOnChanged(nullptr);
  if (extensions_) {
    extensions_->setOnRestartsChanged(nullptr);
    extensions_->stopAll();
  }
  developMenu_.reset();
  preferences_.reset();
  browser_.reset();
  extensions_.reset();
  registry_.reset();
  reaper_.reset();
}

}  // namespace qv::host
