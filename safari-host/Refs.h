#pragma once

#include <string>
#include <string_view>

namespace qv::host {

// A fresh opaque reference such as "tab-7" for an object handed to an extension or an
// automation client. Never reused within the process, so a reference to an object
// that is gone can never name another one. Any thread.
std::string makeRef(std::string_view kind);

}  // namespace qv::host
