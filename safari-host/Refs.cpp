#include "safari-host/Refs.h"

#include <atomic>
#include <cstdint>

namespace qv::host {

std::string makeRef(std::string_view kind) {
  // One counter for all kinds: simple, and numbers alone never collide either.
  static std::atomic<std::uint64_t> next{1};
  return std::string(kind) + "-" + std::to_string(next++);
}

}  // namespace qv::host
