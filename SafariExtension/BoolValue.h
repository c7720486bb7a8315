#pragma once

#include <string_view>

namespace qv {

// Reads a string as a Boolean the way the background page's flags have always been
// read: after leading whitespace, an optional sign and any leading zeros, true when the
// next character is Y, y, T, t or a digit 1-9, false otherwise ("true", "yes", "1" give
// true; "false", "no", "0", "" give false).
bool boolValue(std::string_view text);

}  // namespace qv
