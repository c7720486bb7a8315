#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qv::test {

// What a finished command printed and how it ended.
struct CommandResult {
  int exitCode = -1;  // -1 when it did not exit normally (signal, timeout, spawn failure)
  std::string out;
  std::string err;
};

// A child process with stdout and stderr on pipes, started from this process's
// environment plus `environment` overrides ("NAME=value"). The destructor kills and reaps
// a child still running. Not thread-safe; use from one thread.
class ChildProcess {
 public:
  static std::optional<ChildProcess> start(const std::vector<std::string>& argv,
                                           const std::vector<std::string>& environment);
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Collects stdout until `done(stdout so far)` holds or `timeout` passes; true when it held.
  bool waitForOutput(const std::function<bool(const std::string&)>& done,
                     std::chrono::milliseconds timeout);
  // Sends `signal` to the child.
  void signal(int signal) const;
  // Reads both pipes to their end and reaps the child, killing it after `timeout`.
  CommandResult finish(std::chrono::milliseconds timeout);

  const std::string& out() const { return out_; }
  pid_t pid() const { return pid_; }

 private:
  ChildProcess(pid_t pid, int outFd, int errFd) : pid_(pid), outFd_(outFd), errFd_(errFd) {}
  // Reads what is available within `timeout`; false when both pipes are closed.
  bool pump(std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string out_;
  std::string err_;
};

// Runs a command to completion (killed after `timeout`).
CommandResult runCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace qv::test
