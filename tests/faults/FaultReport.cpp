#include "tests/faults/FaultReport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace qv::test {

void reportFault(const std::string& scenario, bool survived, const std::string& lost) {
  std::string line = scenario + " | " + (survived ? "survived" : "NOT SURVIVED") + " | " + lost;
  std::printf("fault: %s\n", line.c_str());
  std::fflush(stdout);
  if (const char* path = std::getenv("QV_FAULT_REPORT"); path != nullptr && *path != '\0') {
    std::ofstream(path, std::ios::app) << line << "\n";
  }
}

}  // namespace qv::test
