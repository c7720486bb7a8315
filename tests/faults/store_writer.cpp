// Writes "counter" into a defaults store as fast as it can: "N:" followed by 64 KiB, for
// N = FIRST, FIRST + 1, …, printing N on stdout once its write has returned. The store fault test
// kills it at random moments.
#include <cstdio>
#include <string>

#include "platform/linux/store/SqliteUserDefaults.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: qv_store_writer DATABASE FIRST\n", stderr);
    return 2;
  }
  auto store = qv::SqliteUserDefaults::open(argv[1]);
  if (!store) return 1;
  const std::string padding(64 * 1024, 'p');
  for (long n = std::stol(argv[2]);; ++n) {
    if (!store->set("counter", std::to_string(n) + ":" + padding)) return 1;
    std::printf("%ld\n", n);
    std::fflush(stdout);
  }
}
