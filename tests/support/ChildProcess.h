#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/SocketPair.h"

namespace qv::test {

// A descriptor of this process that a child gets under a number of its own (the
// extension's socket end as 3, for `--ipc-fd=3`). The caller keeps `fd`.
struct InheritedFd {
  int fd;
  int childFd;
};

// How ChildProcess::start sets a child up. Every member has an initializer, so that a
// designated initializer may leave any out.
struct SpawnOptions {
  // "NAME=value" entries that replace NAME in this process's environment, or add it.
  std::vector<std::string> environment = {};
  std::vector<InheritedFd> fds = {};
  // Pipes for the child's stdout and stderr (read through out(), waitForOutput() and
  // finish()); without them the child writes to this process's own.
  bool captureStdout = false;
  bool captureStderr = false;
};

// What a finished command printed and how it ended.
struct CommandResult {
  int exitCode = -1;  // -1 when it did not exit normally (signal, time-out, spawn failure)
  std::string out;
  std::string err;
};

// A program started from this process's environment (see SpawnOptions), with stdin from
// /dev/null and no descriptor of ours but the ones passed. Its sanitizer variables start
// with the test settings (SanitizerOptions.h): the toolkit libraries our programs load
// are not instrumented, and their reports are suppressed. A child still running when the object dies is killed (SIGKILL) and
// reaped. Movable; not thread-safe, use it from one thread.
class ChildProcess {
 public:
  // Absent when the program cannot be started; `error` says why.
  static std::optional<ChildProcess> start(const std::vector<std::string>& argv,
                                           const SpawnOptions& options = {},
                                           std::string* error = nullptr);
  ~ChildProcess();
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // False once the child has exited (and so has been reaped).
  bool running();
  // The raw wait status once it has exited; absent when it is still running at the
  // deadline.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);
  void signal(int signal) const;
  // VmRSS of the running child in KiB; absent once it is gone.
  std::optional<long> residentKib() const;

  // With captureStdout: collects stdout until `done(stdout so far)` holds or `timeout`
  // passes; whether it held.
  bool waitForOutput(const std::function<bool(const std::string&)>& done,
                     std::chrono::milliseconds timeout);
  const std::string& out() const { return out_; }
  // Reads the captured pipes to their end and reaps the child, killing it when it has
  // not ended by `timeout`. The output moves into the result.
  CommandResult finish(std::chrono::milliseconds timeout);

 private:
  ChildProcess(pid_t pid, UniqueFd out, UniqueFd err)
      : pid_(pid), outFd_(std::move(out)), errFd_(std::move(err)) {}
  // Reads what arrives within `timeout`; false once every captured pipe is closed.
  bool pump(std::chrono::milliseconds timeout);
  bool reap(bool block);
  void killAndReap();

  pid_t pid_ = -1;
  UniqueFd outFd_;
  UniqueFd errFd_;
  std::string out_;
  std::string err_;
  std::optional<int> status_;
};

// The exit code of a wait status; absent when there is none, or the child did not exit
// normally.
std::optional<int> exitCode(const std::optional<int>& waitStatus);

// Runs a command to completion with stdout and stderr captured (killed after `timeout`).
CommandResult runCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace qv::test
