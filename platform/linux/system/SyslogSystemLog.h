#pragma once

#include <string>

#include "platform/SystemLog.h"

namespace qv {

// SystemLog over syslog(3) at LOG_ERR, under the program's name (journald keeps it).
// When QV_SYSTEM_LOG_STDERR=1 at construction, each line also goes to stderr, in one
// write. Thread-safe.
class SyslogSystemLog final : public SystemLog {
 public:
  SyslogSystemLog();

  void error(const std::string& line) override;

 private:
  bool mirrorToStderr_;
};

}  // namespace qv
