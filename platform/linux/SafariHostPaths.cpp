#include "platform/linux/SafariHostPaths.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/Json.h"
#include "platform/linux/XdgPaths.h"

namespace qv::safarihost {
namespace {

// A name that stays inside its folder.
bool isPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

bool writeAll(int fd, const std::string& text) {
  std::size_t written = 0;
  while (written < text.size()) {
    ssize_t count = ::write(fd, text.data() + written, text.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    written += static_cast<std::size_t>(count);
  }
  return true;
}

}  // namespace

std::string controlSocketPath() {
  return xdg::runtimeDir() + "/safari-host-" + std::to_string(::getuid()) + "/control.sock";
}

std::string registrationPath(const std::string& bundleIdentifier) {
  return xdg::dataHome() + "/safari-host/apps/" + bundleIdentifier + ".json";
}

bool writeRegistration(const std::string& bundleIdentifier, const std::string& bundlePath) {
  if (!isPlainFileName(bundleIdentifier)) return false;
  const std::string folder = xdg::dataHome() + "/safari-host/apps";
  if (!xdg::makeDirectories(folder, 0700)) return false;

  std::string text;
  try {
    text = Json{{"bundlePath", bundlePath}}.dump();
  } catch (const Json::exception&) {
    return false;  // a path that is not UTF-8 cannot be written as JSON
  }
  const std::string target = registrationPath(bundleIdentifier);
  const std::string temporary = target + ".tmp-" + std::to_string(::getpid());
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || std::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace qv::safarihost
