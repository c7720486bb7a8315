#include "tests/support/ExtensionProcess.h"

#include <cerrno>
#include <cstring>

namespace qv::test {

std::optional<ExtensionProcess> ExtensionProcess::start(
    const std::string& executable, std::string* error,
    const std::optional<std::vector<std::string>>& arguments) {
  std::optional<SocketPair> pair = socketPair();
  if (!pair) {
    if (error) *error = std::string("socketpair: ") + std::strerror(errno);
    return std::nullopt;
  }
  std::vector<std::string> argv{executable};
  std::vector<std::string> words =
      arguments.value_or(std::vector<std::string>{"--ipc-fd=" + std::to_string(kChildFd)});
  argv.insert(argv.end(), words.begin(), words.end());
  std::optional<ChildProcess> child =
      ChildProcess::start(argv, {.fds = {{pair->second.get(), kChildFd}}}, error);
  if (!child) return std::nullopt;
  return ExtensionProcess{std::move(*child), std::move(pair->first)};
}

}  // namespace qv::test
