#include "ipc/Paths.h"

#include <unistd.h>

#include "platform/linux/system/XdgPaths.h"

namespace qv::ipc {

std::string controlSocketPath() {
  return xdg::runtimeDir() + "/safari-host-" + std::to_string(::getuid()) + "/control.sock";
}

std::string registrationFolder() {
  return xdg::dataHome() + "/safari-host/apps";
}

std::string registrationPath(const std::string& bundleIdentifier) {
  return registrationFolder() + "/" + bundleIdentifier + ".json";
}

std::string extensionChoicesPath() {
  return xdg::configHome() + "/safari-host/extensions.json";
}

}  // namespace qv::ipc
