#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Json.h"

namespace qv::ipc {
class Connection;
}

namespace qv::test {

using namespace std::chrono_literals;

// Polls `done` until it holds or `timeout` passes; true when it held.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// Iterates the default GLib main context until `done` holds or `timeout` passes.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// safari-host's control socket as the companion meets it, played by the test: it
// listens at `path` (creating its folder with mode 0700), records every call and
// answers from a script. Thread-safe.
class FakeControlSocket {
 public:
  struct Call {
    std::string method;
    Json args;
  };
  // What to send back: a result, an error text, or nothing at all.
  struct Answer {
    std::optional<Json> result;
    std::optional<std::string> error;
    bool silent = false;

    static Answer with(Json result) { return Answer{std::move(result), std::nullopt, false}; }
    static Answer failure(std::string error) {
      return Answer{std::nullopt, std::move(error), false};
    }
    static Answer none() { return Answer{std::nullopt, std::nullopt, true}; }
  };
  using Script = std::function<Answer(const Call&)>;

  explicit FakeControlSocket(std::string path);
  ~FakeControlSocket();
  FakeControlSocket(const FakeControlSocket&) = delete;
  FakeControlSocket& operator=(const FakeControlSocket&) = delete;

  bool listening() const { return listenFd_ >= 0; }
  // Default: getState answers {"isEnabled": false}, every other call {}.
  void setScript(Script script);
  void setEnabled(bool enabled);
  std::vector<Call> calls() const;
  std::vector<Call> callsOf(const std::string& method) const;
  // Waits for a call of `method` for which `match` holds (every call when empty).
  std::optional<Call> waitForCall(const std::string& method,
                                  const std::function<bool(const Call&)>& match,
                                  std::chrono::milliseconds timeout) const;

 private:
  void acceptLoop();
  Answer answer(const Call& call);

  std::string path_;
  int listenFd_ = -1;
  int wakeFd_[2] = {-1, -1};
  std::thread acceptor_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Script script_;
  bool enabled_ = false;
  std::vector<Call> calls_;
  std::vector<std::shared_ptr<ipc::Connection>> connections_;
};

// A D-Bus session bus of the test's own, so that companions of tests that run at the
// same time never meet. Ends the daemon when destroyed.
class PrivateSessionBus {
 public:
  PrivateSessionBus();
  ~PrivateSessionBus();
  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

  // Empty when the daemon could not be started.
  const std::string& address() const { return address_; }

 private:
  pid_t pid_ = -1;
  std::string address_;
};

// A program started with this process's environment; killed and reaped when destroyed
// if still running.
class SpawnedProcess {
 public:
  explicit SpawnedProcess(const std::vector<std::string>& argv);
  ~SpawnedProcess();
  SpawnedProcess(const SpawnedProcess&) = delete;
  SpawnedProcess& operator=(const SpawnedProcess&) = delete;

  bool started() const { return pid_ > 0; }
  bool running();
  // The exit status once it exits within `timeout`; absent on a time-out or a signal.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  bool reaped_ = false;
};

}  // namespace qv::test
