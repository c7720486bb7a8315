// Prints the main bundle's path and identifier, one per line.
#include <cstdio>

#include "platform/linux/system/LinuxBundle.h"

int main() {
  auto bundle = qv::LinuxBundle::main();
  if (!bundle) return 1;
  std::printf("%s\n%s\n", bundle->bundlePath().c_str(),
              bundle->bundleIdentifier().value_or("(none)").c_str());
  return 0;
}
