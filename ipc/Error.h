#pragma once

#include <string>

namespace qv::ipc {

// Why a call did not produce a result. On the wire an error is only text; the kind says
// where it came from, so that callers decide on the kind and show the text.
enum class ErrorKind {
  Remote,            // the peer answered with an error; `message` is its text
  ConnectionClosed,  // the connection closed before the reply came
  TimedOut,          // no reply came within the time limit
  NotSent,           // the call could not be encoded or written
  UnknownMethod,     // the method is not one the connection declares
  NotAllowed,        // the method is declared but not served (automation is off)
  InvalidArguments,  // the arguments do not match the method's declaration
  InvalidReply,      // the reply does not match the declaration, or is nested too deeply
};

struct Error {
  ErrorKind kind = ErrorKind::Remote;
  std::string message;

  bool operator==(const Error&) const = default;
};

}  // namespace qv::ipc
