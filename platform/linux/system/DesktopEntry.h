#pragma once

#include <optional>
#include <string>

namespace qv::desktop {

// `entry` (the text of a .desktop file) with its Exec line replaced by one that starts
// `executable` with the opened URL (%u), the path quoted as the desktop entry rules ask.
// Absent when the entry has no [Desktop Entry] group.
std::optional<std::string> withExecutable(const std::string& entry, const std::string& executable);

// Makes the application known to the desktop the way the Mac's launch services learn
// an application from its bundle: writes `entry` to
// ${XDG_DATA_HOME:-~/.local/share}/applications/<applicationId>.desktop, so that the
// URL scheme it declares opens this executable and notifications find the application.
// The file is replaced atomically and durably, and only when its text changes. False when it
// cannot be written or the identifier is not a plain file name.
bool install(const std::string& applicationId, const std::string& entry);

}  // namespace qv::desktop
