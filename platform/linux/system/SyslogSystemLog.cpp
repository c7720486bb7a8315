#include "platform/linux/system/SyslogSystemLog.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace qv {
namespace {

void openSyslogOnce() {
  static std::once_flag once;
  // openlog keeps the pointer: program_invocation_short_name lives as long as the process.
  std::call_once(once, [] { openlog(program_invocation_short_name, LOG_PID, LOG_USER); });
}

void writeAll(int fd, const std::string& text) {
  std::size_t offset = 0;
  while (offset < text.size()) {
    ssize_t written = ::write(fd, text.data() + offset, text.size() - offset);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    offset += static_cast<std::size_t>(written);
  }
}

}  // namespace

SyslogSystemLog::SyslogSystemLog() {
  const char* mirror = std::getenv("QV_SYSTEM_LOG_STDERR");
  mirrorToStderr_ = mirror != nullptr && std::strcmp(mirror, "1") == 0;
  openSyslogOnce();
}

void SyslogSystemLog::error(const std::string& line) {
  syslog(LOG_ERR, "%s", line.c_str());
  if (mirrorToStderr_) writeAll(STDERR_FILENO, line + "\n");
}

}  // namespace qv
