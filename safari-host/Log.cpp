#include "safari-host/Log.h"

#include <cstdio>

namespace qv::host {

void logError(const std::string& message) {
  // One fprintf call keeps lines from different threads whole.
  std::fprintf(stderr, "safari-host: %s\n", message.c_str());
}

}  // namespace qv::host
