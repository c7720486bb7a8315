#pragma once

#include <string>

namespace qv::safarihost {

// Starts safari-host as the desktop starts an application: through its desktop entry
// "safari-host.desktop" (found by GIO on the XDG data paths), else the safari-host
// executable beside the application bundle: `<dir>/bin/safari-host` for a bundle built
// at `<dir>/X.app`, `<prefix>/bin/safari-host` for one installed at
// `<prefix>/lib/quorvane/X.app`. The browser does not become the caller's child to reap.
// Says on stderr which way it took. False when no way worked.
bool startSafariHost(const std::string& appBundlePath);

}  // namespace qv::safarihost
