#pragma once

#include <string>

#include "tests/support/SocketPair.h"

namespace qv::test {

// Accepts connections on 127.0.0.1 and never answers: a load from it never finishes.
// Construction records a test failure when it cannot listen.
class SilentServer {
 public:
  SilentServer();
  std::string url() const;

 private:
  UniqueFd fd_;
  int port_ = 0;
};

}  // namespace qv::test
