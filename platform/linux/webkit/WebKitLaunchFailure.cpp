#include "platform/linux/webkit/WebKitLaunchFailure.h"

#include <glib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace qv {
namespace {

const char* programName = "";

// The sandbox's helpers fail to start: the dbus-proxy is the first thing WebKit runs
// inside bubblewrap.
bool blamesTheSandbox(const std::string& message) {
  for (const char* sign : {"dbus-proxy", "bwrap", "bubblewrap", "sandbox"}) {
    if (message.find(sign) != std::string::npos) return true;
  }
  return false;
}

GLogWriterOutput writer(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer data) {
  if ((level & G_LOG_LEVEL_ERROR) == 0) return g_log_writer_default(level, fields, count, data);
  std::string message;
  for (gsize i = 0; i < count; ++i) {
    if (g_strcmp0(fields[i].key, "MESSAGE") == 0 && fields[i].value != nullptr) {
      message = fields[i].length < 0 ? std::string(static_cast<const char*>(fields[i].value))
                                     : std::string(static_cast<const char*>(fields[i].value),
                                                   static_cast<std::size_t>(fields[i].length));
    }
  }
  if (blamesTheSandbox(message)) {
    std::fprintf(stderr,
                 "%s: WebKit cannot start its web process here (%s): its sandbox needs user "
                 "and mount namespaces, which this environment lacks. Run on a machine or a VM, "
                 "give the container those privileges, or, for tests and development only, "
                 "set WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS=1 (QV_WEBKIT_SANDBOX=off for "
                 "scripts/test and scripts/run).\n",
                 programName, message.c_str());
  } else {
    std::fprintf(stderr, "%s: stopped by a fatal error: %s\n", programName, message.c_str());
  }
  std::fflush(stderr);
  // The error would abort right after this writer: leave first, without a core dump.
  _exit(kWebKitLaunchFailed);
}

}  // namespace

void reportWebKitLaunchFailures(const char* program) {
  programName = program;
  g_log_set_writer_func(writer, nullptr, nullptr);
}

}  // namespace qv
