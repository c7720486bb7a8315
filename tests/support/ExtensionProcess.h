#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/SocketPair.h"

namespace qv::test {

// The extension executable, started as safari-host starts it: one end of a socket pair
// as descriptor 3 and `--ipc-fd=3`, this process's environment. Destroying it hangs up
// and kills (SIGKILL) a child still running.
struct ExtensionProcess {
  static constexpr int kChildFd = 3;

  // Absent when the socket pair or the spawn failed (`error` says why). `arguments`
  // replace the usual `--ipc-fd=3`.
  static std::optional<ExtensionProcess> start(
      const std::string& executable, std::string* error = nullptr,
      const std::optional<std::vector<std::string>>& arguments = std::nullopt);

  ChildProcess child;
  // Our end of the socket: hand it to a ScriptedPeer, or write raw bytes to it.
  UniqueFd hostEnd;
};

}  // namespace qv::test
