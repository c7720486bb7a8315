#pragma once

#include <string>

namespace qv::host {

// One line on stderr, prefixed "safari-host: ". For faults of other programs and of the
// environment that the browser survives. Any thread.
void logError(const std::string& message);

}  // namespace qv::host
