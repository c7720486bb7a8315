#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/Platform.h"

namespace qv {

// The production platform: GLib main queue, libcurl session, SQLite defaults and
// secrets, syslog, system clock, OpenSSL. Call it on the thread that will run the GLib
// main loop (that thread becomes the main queue's thread). `mainBundle` null means
// LinuxBundle::main().
//
// The URL session also trusts the PEM authorities named by the bundle's Info.plist
// `QVDeployment` → `CACertificates` (a file in Contents/Resources; development bundles
// only). When that key names a file that does not exist, a line goes to the system log
// and only the system authorities are trusted.
Platform makeLinuxPlatform(std::shared_ptr<Bundle> mainBundle);

// The resource path the bundle's `QVDeployment` → `CACertificates` names; absent when
// the key is missing or the file does not exist.
std::optional<std::string> deploymentCaCertificatesPath(const Bundle& bundle);

}  // namespace qv
