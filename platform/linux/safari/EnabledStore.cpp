#include "platform/linux/safari/EnabledStore.h"

#include "platform/Json.h"
#include "platform/JsonFields.h"
#include "platform/linux/system/Files.h"
#include "platform/linux/system/XdgPaths.h"

namespace qv::safarihost {

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
    loadProblem_ = path_ + ": not an extension list; every extension starts disabled";
    return;
  }
  for (const auto& [identifier, entry] : extensions->items()) {
    std::optional<bool> enabled = json::boolean(entry, "enabled");
    std::optional<std::string> bundlePath = json::string(entry, "bundlePath");
    // A choice from before choices named their bundle holds for no bundle.
    if (enabled && bundlePath) choices_[identifier] = Choice{*enabled, *bundlePath};
  }
}

bool EnabledStore::isEnabled(const std::string& identifier,
                             const std::string& appBundlePath) const {
  auto it = choices_.find(identifier);
  return it != choices_.end() && it->second.enabled && it->second.appBundlePath == appBundlePath;
}

bool EnabledStore::setEnabled(const std::string& identifier, const std::string& appBundlePath,
                              bool enabled) {
  choices_[identifier] = Choice{enabled, appBundlePath};
  return save();
}

bool EnabledStore::save() const {
  Json extensions = Json::object();
  for (const auto& [identifier, choice] : choices_) {
    extensions[identifier] =
        Json{{"enabled", choice.enabled}, {"bundlePath", choice.appBundlePath}};
  }
  std::string text =
      Json{{"extensions", extensions}}.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  return xdg::makeDirectories(files::directoryOf(path_), 0700) &&
         files::writeAtomically(path_, text);
}

}  // namespace qv::safarihost
