#include "safari-host/ExtensionRegistry.h"

#include <gio/gio.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>

#include "platform/Json.h"
#include "platform/JsonFields.h"
#include "platform/linux/system/Files.h"
#include "platform/linux/system/XdgPaths.h"
#include "safari-host/Log.h"

namespace qv::host {
namespace {

// Coalesces the burst of events one rewrite of a registration file causes.
constexpr unsigned kRescanDelayMs = 100;
constexpr std::size_t kMaxRegistrationSize = 64 * 1024;

std::optional<std::string> registeredBundlePath(const std::filesystem::path& file) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) return std::nullopt;
  std::optional<std::string> contents = files::read(file.string(), kMaxRegistrationSize);
  if (!contents) return std::nullopt;
  std::optional<Json> root = json::parse(*contents);
  std::optional<std::string> path = root ? json::string(*root, "bundlePath") : std::nullopt;
  if (!path) {
    logError(file.string() + ": not a registration ({\"bundlePath\": …})");
    return std::nullopt;
  }
  if (path->empty() || path->front() != '/') {
    logError(file.string() + ": bundlePath is not absolute");
    return std::nullopt;
  }
  return path;
}

}  // namespace

ExtensionRegistry::ExtensionRegistry(std::string appsDirectory, std::string enabledStorePath)
    : appsDirectory_(std::move(appsDirectory)), enabled_(std::move(enabledStorePath)) {
  if (!enabled_.loadProblem().empty()) logError(enabled_.loadProblem());
}

ExtensionRegistry::~ExtensionRegistry() {
  if (rescanSource_ != 0) g_source_remove(rescanSource_);
  if (monitor_) {
    g_signal_handlers_disconnect_by_data(monitor_.get(), this);
    g_file_monitor_cancel(monitor_.get());
  }
}

void ExtensionRegistry::start() {
  // Watching needs the folder to exist; applications create it anyway when registering.
  xdg::makeDirectories(appsDirectory_, 0700);
  GObjectRef<GFile> folder(g_file_new_for_path(appsDirectory_.c_str()));
  GError* error = nullptr;
  monitor_ = GObjectRef<GFileMonitor>(
      g_file_monitor_directory(folder.get(), G_FILE_MONITOR_NONE, nullptr, &error));
  if (monitor_) {
    g_file_monitor_set_rate_limit(monitor_.get(), kRescanDelayMs);
    g_signal_connect_swapped(monitor_.get(), "changed",
                             G_CALLBACK(+[](ExtensionRegistry* self) { self->scheduleRescan(); }),
                             this);
  } else {
    logError("cannot watch " + appsDirectory_ + ": " + (error ? error->message : "?"));
    g_clear_error(&error);
  }
  rescan();
}

void ExtensionRegistry::scheduleRescan() {
  if (rescanSource_ != 0) return;
  rescanSource_ = g_timeout_add(
      kRescanDelayMs,
      +[](gpointer data) -> gboolean {
        auto* self = static_cast<ExtensionRegistry*>(data);
        self->rescanSource_ = 0;
        self->rescan();
        return G_SOURCE_REMOVE;
      },
      this);
}

void ExtensionRegistry::rescan() {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (std::filesystem::directory_iterator it(appsDirectory_, error), end; !error && it != end;
       it.increment(error)) {
    if (it->path().extension() == ".json") files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());

  std::vector<RegisteredApp> apps;
  for (const auto& file : files) {
    std::optional<std::string> bundlePath = registeredBundlePath(file);
    if (!bundlePath) continue;
    std::string problems;
    std::optional<RegisteredApp> app = loadRegisteredApp(*bundlePath, &problems);
    if (!problems.empty()) logError(file.string() + ": " + problems);
    if (!app) continue;
    // The file name says which application registers: a bundle may not stand in for it.
    if (file.filename().string() != app->identifier + ".json") {
      logError(file.string() + " is refused: it registers " + app->identifier +
               ", whose registration is " + app->identifier + ".json");
      continue;
    }
    apps.push_back(std::move(*app));
  }

  // An identifier two registrations claim belongs to neither while both do: otherwise
  // one of them would inherit the consent the user gave the other.
  std::map<std::string, int> claims;
  for (const RegisteredApp& app : apps) {
    for (const ExtensionInfo& extension : app.extensions) ++claims[extension.identifier];
  }
  std::map<std::string, ExtensionInfo> found;
  std::vector<DevelopmentAuthority> authorities;
  for (RegisteredApp& app : apps) {
    bool hasExtension = false;
    for (ExtensionInfo& extension : app.extensions) {
      if (claims[extension.identifier] > 1) {
        logError(extension.identifier + " in " + app.bundlePath +
                 " is refused: another registered bundle provides it too");
        continue;
      }
      hasExtension = true;
      found.emplace(extension.identifier, std::move(extension));
    }
    if (!hasExtension) continue;
    for (DevelopmentAuthority& authority : app.authorities) {
      authorities.push_back(std::move(authority));
    }
  }

  bool changed = authorities != authorities_ || found.size() != extensions_.size();
  std::vector<std::shared_ptr<const ExtensionInfo>> next;
  for (auto& [identifier, extension] : found) {
    // Keep the existing object when nothing changed, so holders see the same one.
    std::shared_ptr<const ExtensionInfo> existing = find(identifier);
    if (existing && *existing == extension) {
      next.push_back(existing);
    } else {
      next.push_back(std::make_shared<const ExtensionInfo>(std::move(extension)));
      changed = true;
    }
  }
  extensions_ = std::move(next);
  authorities_ = std::move(authorities);
  if (changed && onChanged_) onChanged_();
}

std::shared_ptr<const ExtensionInfo> ExtensionRegistry::find(const std::string& identifier) const {
  for (const auto& extension : extensions_) {
    if (extension->identifier == identifier) return extension;
  }
  return nullptr;
}

std::vector<std::shared_ptr<const ExtensionInfo>> ExtensionRegistry::enabledExtensions() const {
  std::vector<std::shared_ptr<const ExtensionInfo>> result;
  for (const auto& extension : extensions_) {
    if (enabled_.isEnabled(extension->identifier, extension->appBundlePath)) {
      result.push_back(extension);
    }
  }
  return result;
}

bool ExtensionRegistry::isEnabled(const std::string& identifier) const {
  std::shared_ptr<const ExtensionInfo> extension = find(identifier);
  return extension != nullptr && enabled_.isEnabled(identifier, extension->appBundlePath);
}

bool ExtensionRegistry::setEnabled(const std::string& identifier, bool enabled) {
  std::shared_ptr<const ExtensionInfo> extension = find(identifier);
  if (!extension) return false;
  if (enabled_.isEnabled(identifier, extension->appBundlePath) == enabled) return true;
  if (!enabled_.setEnabled(identifier, extension->appBundlePath, enabled)) {
    logError("cannot write " + enabled_.path() + "; the choice holds until safari-host quits");
  }
  if (onChanged_) onChanged_();
  return true;
}

std::vector<std::string> ExtensionRegistry::authoritiesFor(const std::string& host) const {
  std::string lower = host;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::vector<std::string> paths;
  for (const DevelopmentAuthority& authority : authorities_) {
    if (std::find(authority.hosts.begin(), authority.hosts.end(), lower) == authority.hosts.end()) {
      continue;
    }
    // Only for a bundle the user has let in: one of its extensions is enabled.
    bool trusted = std::any_of(extensions_.begin(), extensions_.end(), [&](const auto& extension) {
      return extension->appBundlePath == authority.appBundlePath &&
             enabled_.isEnabled(extension->identifier, extension->appBundlePath);
    });
    if (trusted && std::find(paths.begin(), paths.end(), authority.pemPath) == paths.end()) {
      paths.push_back(authority.pemPath);
    }
  }
  return paths;
}

}  // namespace qv::host
