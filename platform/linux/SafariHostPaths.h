#pragma once

#include <string>

namespace qv::safarihost {

// Where safari-host listens for the companion and for automation:
// ${XDG_RUNTIME_DIR:-/tmp}/safari-host-<uid>/control.sock.
std::string controlSocketPath();

// Where an application registers its bundle with safari-host:
// ${XDG_DATA_HOME:-~/.local/share}/safari-host/apps/<bundleIdentifier>.json.
std::string registrationPath(const std::string& bundleIdentifier);

// Writes {"bundlePath": bundlePath} to registrationPath(bundleIdentifier), creating the
// folder. The file is replaced in one rename, so safari-host never reads half of it.
// False when the folder or the file cannot be written, or the identifier is not a plain
// file name.
bool writeRegistration(const std::string& bundleIdentifier, const std::string& bundlePath);

}  // namespace qv::safarihost
