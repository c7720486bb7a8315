#include "Common/FatalError.h"

#include <cstdio>
#include <cstdlib>

namespace qv {

void fatalError(const std::string& message, const char* file, int line) {
  std::fprintf(stderr, "Fatal error: %s: file %s, line %d\n", message.c_str(), file, line);
  std::fflush(stderr);
  std::abort();
}

}  // namespace qv
