#pragma once

#include <string>

namespace qv {

// Stops the process: prints "Fatal error: <message>: file <file>, line <line>" to
// standard error and aborts. Reserved for installation invariants read at start-up.
[[noreturn]] void fatalError(const std::string& message, const char* file, int line);

}  // namespace qv

#define QV_FATAL(message) ::qv::fatalError((message), __FILE__, __LINE__)
