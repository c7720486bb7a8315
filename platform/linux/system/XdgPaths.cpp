#include "platform/linux/system/XdgPaths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace qv::xdg {
namespace {

std::string home() {
  if (const char* value = std::getenv("HOME"); value != nullptr && *value != '\0') return value;
  if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return entry->pw_dir;
  }
  return "/tmp";
}

// XDG says relative values are invalid and must be ignored.
std::optional<std::string> absoluteEnv(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return std::string(value);
}

}  // namespace

std::string configHome() {
  return absoluteEnv("XDG_CONFIG_HOME").value_or(home() + "/.config");
}

std::string dataHome() {
  return absoluteEnv("XDG_DATA_HOME").value_or(home() + "/.local/share");
}

std::string runtimeDir() {
  return absoluteEnv("XDG_RUNTIME_DIR").value_or("/tmp");
}

bool makeDirectories(const std::string& path, unsigned mode) {
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !makeDirectories(path.substr(0, slash), mode)) {
    return false;
  }
  if (mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) return false;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace qv::xdg
