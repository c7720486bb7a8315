#pragma once

#include <optional>
#include <string>

namespace qv::host {

// What a person typed into the address bar (or passed on the command line) as a URL
// to load: text with a scheme is kept; a bare host gets https://, or http:// for
// loopback and IP literals (local development servers rarely speak TLS). Absent for
// text that is not an address (empty, or with inner spaces).
std::optional<std::string> urlFromAddressText(const std::string& text);

}  // namespace qv::host
