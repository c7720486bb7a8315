#pragma once

#include <string>

namespace qv::ipc {

// Where the processes find each other, read from the environment at each call.

// safari-host's control socket: ${XDG_RUNTIME_DIR:-/tmp}/safari-host-<uid>/control.sock.
std::string controlSocketPath();

// The folder applications register their bundles in:
// ${XDG_DATA_HOME:-~/.local/share}/safari-host/apps.
std::string registrationFolder();
// registrationFolder()/<bundleIdentifier>.json.
std::string registrationPath(const std::string& bundleIdentifier);

// The user's choices of enabled extensions:
// ${XDG_CONFIG_HOME:-~/.config}/safari-host/extensions.json.
std::string extensionChoicesPath();

}  // namespace qv::ipc
