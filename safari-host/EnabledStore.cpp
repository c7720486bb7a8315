#include "safari-host/EnabledStore.h"

#include "platform/Json.h"
#include "platform/linux/system/Files.h"
#include "platform/linux/system/XdgPaths.h"
#include "safari-host/Log.h"

namespace qv::host {

namespace {

// Far more than any number of extensions a person installs.
constexpr std::size_t kMaxFileSize = 4 * 1024 * 1024;

}  // namespace

EnabledStore::EnabledStore(std::string path) : path_(std::move(path)) {
  std::optional<std::string> contents = files::read(path_, kMaxFileSize);
  if (!contents) return;
  Json root = Json::parse(*contents, nullptr, /*allow_exceptions=*/false);
  auto extensions = root.is_object() ? root.find("extensions") : root.end();
  if (root.is_discarded() || !root.is_object() || extensions == root.end() ||
      !extensions->is_object()) {
    logError(path_ + ": not an extension list; every extension starts disabled");
    return;
  }
  for (const auto& [identifier, entry] : extensions->items()) {
    auto enabled = entry.is_object() ? entry.find("enabled") : entry.end();
    if (entry.is_object() && enabled != entry.end() && enabled->is_boolean()) {
      enabled_[identifier] = enabled->get<bool>();
    }
  }
}

bool EnabledStore::isEnabled(const std::string& identifier) const {
  auto it = enabled_.find(identifier);
  return it != enabled_.end() && it->second;
}

bool EnabledStore::setEnabled(const std::string& identifier, bool enabled) {
  enabled_[identifier] = enabled;
  return save();
}

bool EnabledStore::save() const {
  Json extensions = Json::object();
  for (const auto& [identifier, enabled] : enabled_) {
    extensions[identifier] = Json{{"enabled", enabled}};
  }
  std::string text =
      Json{{"extensions", extensions}}.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  if (!xdg::makeDirectories(files::directoryOf(path_), 0700)) {
    logError("cannot create the directory of " + path_);
    return false;
  }
  if (!files::writeAtomically(path_, text)) {
    logError("cannot write " + path_);
    return false;
  }
  return true;
}

}  // namespace qv::host
