#pragma once

#include <string>

namespace qv::safarihost {

// Makes an application's bundled extensions known to safari-host: writes
// {"bundlePath": bundlePath} to ipc::registrationPath(bundleIdentifier), creating the
// folder. The file is replaced atomically and durably, so safari-host never reads half
// of it. False when the folder or the file cannot be written, or the identifier is not
// a plain file name.
bool writeRegistration(const std::string& bundleIdentifier, const std::string& bundlePath);

}  // namespace qv::safarihost
