#pragma once

#include <functional>
#include <string>

#include "ipc/Dispatcher.h"
#include "platform/Json.h"

namespace qv::host {

class Browser;
class ExtensionHost;
class ExtensionRegistry;

// The automation calls of the control socket (automation.*), which tests and demos use
// to drive the browser as a person would. Every call replies: a result, or an error
// naming what was wrong. Main thread only.
class AutomationCommands {
 public:
  AutomationCommands(Browser& browser, ExtensionRegistry& registry, ExtensionHost& extensions,
                     std::function<void()> quit);

  // Adds these calls to the control socket's dispatcher; they must not outlive this.
  void registerOn(ipc::Dispatcher& dispatcher);

 private:
  void listWindows(const Json& args, const ipc::Responder& responder);
  void openWindow(const Json& args, const ipc::Responder& responder);
  void openTab(const Json& args, const ipc::Responder& responder);
  void activateTab(const Json& args, const ipc::Responder& responder);
  void waitForLoad(const Json& args, const ipc::Responder& responder);
  void evaluate(const Json& args, const ipc::Responder& responder);
  void toolbarItem(const Json& args, const ipc::Responder& responder);
  void clickToolbarItem(const Json& args, const ipc::Responder& responder);
  void setExtensionEnabled(const Json& args, const ipc::Responder& responder);
  void screenshot(const Json& args, const ipc::Responder& responder);
  // The popover's page lives in the extension's process: these ask the extension.
  void evaluatePopover(const Json& args, const ipc::Responder& responder);
  void popoverScreenshot(const Json& args, const ipc::Responder& responder);
  void quit(const Json& args, const ipc::Responder& responder);

  Browser& browser_;
  ExtensionRegistry& registry_;
  ExtensionHost& extensions_;
  std::function<void()> quit_;
};

}  // namespace qv::host
