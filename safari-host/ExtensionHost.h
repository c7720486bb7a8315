#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "ipc/Connection.h"
#include "safari-host/BrowserDelegate.h"

namespace qv::host {

class Browser;
class ChildReaper;
class ExtensionProcess;
class ExtensionRegistry;
class SafariObjectApi;

// The extension side of the browser: one ExtensionProcess per enabled extension,
// started on its first event; turns what windows and tabs report into the handler
// calls extensions receive, and their calls into actions on the browser. Main thread
// only.
class ExtensionHost final : public BrowserDelegate {
 public:
  ExtensionHost(ExtensionRegistry& registry, ChildReaper& reaper);
  ~ExtensionHost() override;
  ExtensionHost(const ExtensionHost&) = delete;
  ExtensionHost& operator=(const ExtensionHost&) = delete;

  // The browser whose objects extensions act on; set once, before any event.
  void setBrowser(Browser& browser);
  void setShowPreferences(std::function<void()> show) { showPreferences_ = std::move(show); }

  // handler.messageReceivedFromContainingApp; the error text when the extension is
  // unknown, disabled or cannot be started.
  std::optional<std::string> dispatchFromContainingApp(const std::string& identifier,
                                                       const std::string& name,
                                                       const Json& userInfo);
  // `method` (one that wants no reply) to an enabled extension's process, started when
  // it is not running; the error text as for dispatchFromContainingApp.
  std::optional<std::string> notifyExtension(const std::string& identifier,
                                             const ipc::Method& method, const Json& args);
  // Automation: `method` to the process of an enabled extension that is running now (none
  // is started for it), and its reply. `onReply` runs once on the main thread, maybe before
  // this returns: with an error when the extension is unknown, not enabled or not
  // running, when its process goes away, or when it does not answer in time.
  void callRunningExtension(const std::string& identifier, const ipc::Method& method,
                            const Json& args, std::function<void(ipc::Reply)> onReply);
  // How long until the extension starts again, when it is waiting after exiting too
  // often; absent otherwise.
  std::optional<std::chrono::seconds> restartDelay(const std::string& identifier) const;
  // Called whenever an extension begins or ends waiting to restart.
  void setOnRestartsChanged(std::function<void()> changed) {
    onRestartsChanged_ = std::move(changed);
  }
  // After the registry changed: ends the processes of extensions that are no longer
  // enabled (or changed on disk) and refreshes every window.
  void extensionsChanged();
  // Ends every extension process (at quit).
  void stopAll();

  std::vector<std::shared_ptr<const ExtensionInfo>> enabledExtensions() const override;
  std::vector<std::string> developmentAuthoritiesFor(const std::string& host) const override;
  void scriptMessageReceived(Tab& tab, const std::string& pageRef,
                             const std::string& extensionIdentifier,
                             const PostedMessage& message) override;
  void toolbarItemsNeedValidation(BrowserWindow& window) override;
  void popoverWillShow(BrowserWindow& window, const std::string& extensionIdentifier) override;
  void popoverDidClose(BrowserWindow& window, const std::string& extensionIdentifier) override;
  void showPreferences() override;

 private:
  // The process of an enabled extension, created on first use; null otherwise.
  ExtensionProcess* processFor(const std::string& identifier);

  ExtensionRegistry& registry_;
  ChildReaper& reaper_;
  Browser* browser_ = nullptr;
  std::unique_ptr<SafariObjectApi> api_;
  std::function<void()> showPreferences_;
  std::function<void()> onRestartsChanged_;
  std::map<std::string, std::unique_ptr<ExtensionProcess>> processes_;
  bool stopped_ = false;
};

}  // namespace qv::host
