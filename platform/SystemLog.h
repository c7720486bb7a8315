#pragma once

#include <string>

namespace qv {

// The platform's system log at error level (syslog LOG_ERR on Linux).
// Thread-safe; never fails visibly.
class SystemLog {
 public:
  virtual ~SystemLog() = default;
  virtual void error(const std::string& line) = 0;
};

}  // namespace qv
