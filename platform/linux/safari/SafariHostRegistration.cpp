#include "platform/linux/safari/SafariHostRegistration.h"

#include "ipc/Paths.h"
#include "platform/Json.h"
#include "platform/linux/system/Files.h"
#include "platform/linux/system/XdgPaths.h"

namespace qv::safarihost {

bool writeRegistration(const std::string& bundleIdentifier, const std::string& bundlePath) {
  if (!files::isPlainFileName(bundleIdentifier)) return false;
  if (!xdg::makeDirectories(ipc::registrationFolder(), 0700)) return false;
  std::string text;
  try {
    text = Json{{"bundlePath", bundlePath}}.dump();
  } catch (const Json::exception&) {
    return false;  // a path that is not UTF-8 cannot be written as JSON
  }
  return files::writeAtomically(ipc::registrationPath(bundleIdentifier), text);
}

}  // namespace qv::safarihost
