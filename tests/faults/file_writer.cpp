// Replaces FILE again and again, as fast as it can, with 256 KiB of 'a' and then of 'b',
// through the one helper every small-file writer uses; the fault test kills it at random
// moments.
#include <cstdio>
#include <string>

#include "platform/linux/system/Files.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: qv_file_writer FILE\n", stderr);
    return 2;
  }
  const std::string contents[] = {std::string(256 * 1024, 'a'), std::string(256 * 1024, 'b')};
  for (unsigned n = 0;; ++n) {
    if (!qv::files::writeAtomically(argv[1], contents[n % 2])) return 1;
  }
}
