#pragma once

#include <sys/socket.h>

#include <optional>

#include "platform/linux/system/UniqueFd.h"

namespace qv::test {

// Both ends of a connected Unix stream socket pair, close-on-exec.
struct SocketPair {
  UniqueFd first;
  UniqueFd second;
};

// Absent when the system refuses one (errno says why).
inline std::optional<SocketPair> socketPair() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return std::nullopt;
  return SocketPair{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace qv::test
