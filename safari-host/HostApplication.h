#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ipc/Dispatcher.h"
#include "platform/linux/system/GObjectRef.h"
#include "safari-host/DevelopMenu.h"

typedef struct _AdwApplication AdwApplication;

namespace qv::host {

class AutomationCommands;
class Browser;
class ChildReaper;
class CompanionCommands;
class ControlServer;
class ExtensionHost;
class ExtensionRegistry;
class PreferencesWindow;

// The safari-host process: the GTK application and everything it owns, built at
// start-up and torn down at shutdown in dependency order. Main thread only.
class HostApplication {
 public:
  // `urls` open in the first window, one tab each (a blank tab when there are none).
  // `automation`: serve the control socket's automation calls, and mark every window.
  HostApplication(std::vector<std::string> urls, bool automation);
  ~HostApplication();
  HostApplication(const HostApplication&) = delete;
  HostApplication& operator=(const HostApplication&) = delete;

  // Runs the main loop until the browser quits; the process exit status.
  int run(const char* programName);

 private:
  void startup();
  void activate();
  void shutdown();
  void installApplicationActions();
  void extensionsChanged();
  void sendDeveloperRequest(const std::string& identifier, DevelopMenu::Request request);
  void controlClientsChanged(std::size_t clients);

  std::vector<std::string> urls_;
  bool automation_;
  GObjectRef<AdwApplication> application_;
  // Declared in construction order; shutdown() destroys them in reverse.
  std::unique_ptr<ChildReaper> reaper_;
  std::unique_ptr<ExtensionRegistry> registry_;
  std::unique_ptr<ExtensionHost> extensions_;
  std::unique_ptr<Browser> browser_;
  std::unique_ptr<PreferencesWindow> preferences_;
  std::unique_ptr<DevelopMenu> developMenu_;
  std::unique_ptr<CompanionCommands> companion_;
  std::unique_ptr<AutomationCommands> automationCommands_;
  std::unique_ptr<ipc::Dispatcher> controlCalls_;  // answers what the control socket receives
  std::unique_ptr<ControlServer> control_;
  bool holdingForClients_ = false;
  std::vector<unsigned> signalSources_;
};

}  // namespace qv::host
