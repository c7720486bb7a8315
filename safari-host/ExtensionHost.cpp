#include "safari-host/ExtensionHost.h"

#include "ipc/Protocol.h"
#include "platform/JsonFields.h"

#include "safari-host/Browser.h"
#include "safari-host/BrowserWindow.h"
#include "safari-host/ExtensionProcess.h"
#include "safari-host/ExtensionRegistry.h"
#include "safari-host/SafariObjectApi.h"
#include "safari-host/ToolbarButton.h"

namespace qv::host {

ExtensionHost::ExtensionHost(ExtensionRegistry& registry, ChildReaper& reaper)
    : registry_(registry), reaper_(reaper) {}

ExtensionHost::~ExtensionHost() {
  stopAll();
}

void ExtensionHost::setBrowser(Browser& browser) {
  browser_ = &browser;
  api_ = std::make_unique<SafariObjectApi>(browser);
}

void ExtensionHost::stopAll() {
  stopped_ = true;  // windows closing at quit must not start processes again
  processes_.clear();
}

ExtensionProcess* ExtensionHost::processFor(const std::string& identifier) {
  std::shared_ptr<const ExtensionInfo> extension = registry_.find(identifier);
  if (stopped_ || !extension || !registry_.isEnabled(identifier) || !api_) return nullptr;
  auto it = processes_.find(identifier);
  if (it != processes_.end()) return it->second.get();
  std::shared_ptr<const ipc::Dispatcher> calls = api_->callsOf(extension);
  auto process = std::make_unique<ExtensionProcess>(
      extension,
      [this, identifier, calls](const std::string& method, const Json& args,
                                ipc::Responder responder) {
        if (!registry_.find(identifier) || !registry_.isEnabled(identifier)) {
          responder.fail("the extension is disabled");
          return;
        }
        calls->dispatch(method, args, responder);
      },
      reaper_);
  process->setOnRestartChanged([this] {
    if (onRestartsChanged_) onRestartsChanged_();
  });
  return processes_.emplace(identifier, std::move(process)).first->second.get();
}

void ExtensionHost::extensionsChanged() {
  for (auto it = processes_.begin(); it != processes_.end();) {
    std::shared_ptr<const ExtensionInfo> current = registry_.find(it->first);
    bool keep =
        current && registry_.isEnabled(it->first) && &it->second->extension() == current.get();
    it = keep ? std::next(it) : processes_.erase(it);  // erasing stops the process
  }
  if (browser_ != nullptr) browser_->updateExtensions();
}

std::optional<std::string> ExtensionHost::dispatchFromContainingApp(const std::string& identifier,
                                                                    const std::string& name,
                                                                    const Json& userInfo) {
  return notifyExtension(identifier, ipc::handler::messageReceivedFromContainingApp,
                         Json{{"name", name}, {"userInfo", userInfo}});
}

std::optional<std::string> ExtensionHost::notifyExtension(const std::string& identifier,
                                                          const ipc::Method& method,
                                                          const Json& args) {
  if (!registry_.find(identifier)) return "unknown extension: " + identifier;
  ExtensionProcess* process = processFor(identifier);
  if (process == nullptr) return "the extension is disabled: " + identifier;
  if (!process->notify(method, args)) return "the extension could not be started: " + identifier;
  return std::nullopt;
}

void ExtensionHost::callRunningExtension(const std::string& identifier, const ipc::Method& method,
                                         const Json& args,
                                         std::function<void(ipc::Reply)> onReply) {
  auto fail = [&onReply](std::string error) {
    onReply(ipc::Reply::failure(ipc::ErrorKind::NotSent, std::move(error)));
  };
  if (!registry_.find(identifier)) return fail("unknown extension: " + identifier);
  if (!registry_.isEnabled(identifier)) return fail("the extension is not enabled: " + identifier);
  auto it = processes_.find(identifier);
  if (stopped_ || it == processes_.end() || !it->second->isRunning()) {
    return fail("the extension is not running: " + identifier);
  }
  it->second->call(method, args, std::move(onReply));
}

std::optional<std::chrono::seconds> ExtensionHost::restartDelay(
    const std::string& identifier) const {
  auto it = processes_.find(identifier);
  if (it == processes_.end() || !it->second->restartAt()) return std::nullopt;
  auto left = *it->second->restartAt() - RestartBackoff::Clock::now();
  return std::max(std::chrono::ceil<std::chrono::seconds>(left), std::chrono::seconds(0));
}

std::vector<std::shared_ptr<const ExtensionInfo>> ExtensionHost::enabledExtensions() const {
  return registry_.enabledExtensions();
}

std::vector<std::string> ExtensionHost::developmentAuthoritiesFor(const std::string& host) const {
  return registry_.authoritiesFor(host);
}

void ExtensionHost::scriptMessageReceived(Tab&, const std::string& pageRef,
                                          const std::string& extensionIdentifier,
                                          const PostedMessage& message) {
  if (ExtensionProcess* process = processFor(extensionIdentifier)) {
    process->notify(
        ipc::handler::messageReceived,
        Json{{"name", message.name}, {"page", pageRef}, {"userInfo", message.userInfo}});
  }
}

void ExtensionHost::toolbarItemsNeedValidation(BrowserWindow& window) {
  for (const auto& button : window.toolbarButtons()) {
    std::string identifier = button->extension().identifier;
    ExtensionProcess* process = processFor(identifier);
    if (process == nullptr) continue;
    process->call(ipc::handler::validateToolbarItem, Json{{"window", window.ref()}},
                  [this, identifier, pid = process->pid(), windowRef = window.ref()](
                      ipc::Reply reply) {
                    // The watchdog: a process that cannot answer this is stuck.
                    if (reply.error && reply.error->kind == ipc::ErrorKind::TimedOut) {
                      auto stuck = processes_.find(identifier);
                      if (stuck != processes_.end() && stuck->second->pid() == pid) {
                        stuck->second->kill("did not answer handler.validateToolbarItem in time");
                      }
                      return;
                    }
                    if (!reply.result || browser_ == nullptr) return;
                    BrowserWindow* target = browser_->findWindow(windowRef);
                    ToolbarButton* item =
                        target != nullptr ? target->toolbarButton(identifier) : nullptr;
                    if (item == nullptr) return;
                    item->setEnabled(*json::boolean(*reply.result, "enabled"));
                    item->setBadgeText(*json::string(*reply.result, "badgeText"));
                  });
  }
}

void ExtensionHost::popoverWillShow(BrowserWindow& window, const std::string& extensionIdentifier) {
  if (ExtensionProcess* process = processFor(extensionIdentifier)) {
    process->notify(ipc::handler::popoverWillShow, Json{{"window", window.ref()}});
  }
}

void ExtensionHost::popoverDidClose(BrowserWindow& window, const std::string& extensionIdentifier) {
  if (ExtensionProcess* process = processFor(extensionIdentifier)) {
    process->notify(ipc::handler::popoverDidClose, Json{{"window", window.ref()}});
  }
}

void ExtensionHost::showPreferences() {
  if (showPreferences_) showPreferences_();
}

}  // namespace qv::host
