// Any text handed over as a sign-in callback URL parses or is refused, never crashes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Common/OAuthUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string url(reinterpret_cast<const char*>(data), size);
  auto result = qv::OAuthUtils::parseResultUrl(url);
  // A refused URL stays refused, an accepted one gives the same record again.
  if (qv::OAuthUtils::parseResultUrl(url) != result) std::abort();
  return 0;
}
