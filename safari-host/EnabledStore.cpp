#include "safari-host/EnabledStore.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/Json.h"
#include "platform/linux/XdgPaths.h"
#include "safari-host/Log.h"

namespace qv::host {

EnabledStore::EnabledStore(std::string path) : path_(std::move(path)) {
  std::ifstream file(path_, std::ios::binary);
  if (!file) return;
  std::stringstream contents;
  contents << file.rdbuf();
  Json root = Json::parse(contents.str(), nullptr, /*allow_exceptions=*/false);
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
  std::size_t slash = path_.find_last_of('/');
  if (slash != std::string::npos && !xdg::makeDirectories(path_.substr(0, slash), 0700)) {
    logError("cannot create the directory of " + path_);
    return false;
  }
  std::string temporary = path_ + ".tmp-XXXXXX";
  int fd = mkstemp(temporary.data());
  if (fd < 0) {
    logError("cannot write " + path_);
    return false;
  }
  bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                 ::fsync(fd) == 0;
  written = ::close(fd) == 0 && written;
  if (!written || std::rename(temporary.c_str(), path_.c_str()) != 0) {
    ::unlink(temporary.c_str());
    logError("cannot write " + path_);
    return false;
  }
  return true;
}

}  // namespace qv::host
