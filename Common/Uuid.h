#pragma once

#include <optional>
#include <string>

#include "platform/Crypto.h"

namespace qv {

// A random (version 4) UUID in canonical upper-case form,
// "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"; absent when the generator fails.
std::optional<std::string> makeUuidString(Crypto& crypto);

}  // namespace qv
