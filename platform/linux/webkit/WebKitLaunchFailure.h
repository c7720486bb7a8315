#pragma once

namespace qv {

// When WebKit cannot start its web process it ends the program with a GLib error: a
// trap and a core dump, the reason buried among other lines. Most often the reason is
// its sandbox (bubblewrap), which needs a root that is a mount point and user or mount
// namespaces that plain chroots and many containers lack.
//
// After this call, such a fatal error (any GLib error, which always ends the process)
// prints one line on stderr instead, naming the cause and, for the sandbox, how to
// proceed, and ends the process with exit status kWebKitLaunchFailed. Other log
// messages go where GLib sends them by default. Call it once, first thing in main(),
// before anything logs; `program` names the process in the line. Any thread afterwards.
void reportWebKitLaunchFailures(const char* program);

inline constexpr int kWebKitLaunchFailed = 3;

}  // namespace qv
