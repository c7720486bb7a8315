#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ipc/Connection.h"
#include "platform/Json.h"
#include "safari-host/ExtensionInfo.h"
#include "safari-host/RestartBackoff.h"

namespace qv::host {

class ChildReaper;

// The process of one enabled extension: `<appex>/Contents/MacOS/<CFBundleExecutable>
// --ipc-fd=3`, connected over a socketpair with framed JSON. Started on demand by the
// first event sent to it, and again by the next event after it exited, closed the
// connection or broke the protocol. One that keeps exiting waits before it starts again
// (RestartBackoff): events that arrive meanwhile wait too, at most kMaxWaitingEvents
// (beyond that the oldest is dropped, and logged), and go to it in order once it runs.
// Its calls reach `onCall` on the main thread. Main thread only.
class ExtensionProcess {
 public:
  // A call from the extension, with its arguments (an object of sane depth). Answer
  // through the responder (from any thread).
  using CallHandler =
      std::function<void(const std::string& method, const Json& args, ipc::Responder responder)>;

  ExtensionProcess(std::shared_ptr<const ExtensionInfo> extension, CallHandler onCall,
                   ChildReaper& reaper);
  // Stops the process.
  ~ExtensionProcess();
  ExtensionProcess(const ExtensionProcess&) = delete;
  ExtensionProcess& operator=(const ExtensionProcess&) = delete;

  const ExtensionInfo& extension() const { return *extension_; }

  static constexpr std::size_t kMaxWaitingEvents = 1000;

  // Sends a call without reply, starting the process if needed (or keeping it for when
  // it may start again). False when it could not be started.
  bool notify(const ipc::Method& method, const Json& args);
  // Sends a call; `onReply` runs once on the main thread: with the reply, or an error
  // when the process could not start, is waiting to restart, went away first, or did
  // not answer within the connection's time limit.
  void call(const ipc::Method& method, const Json& args, std::function<void(ipc::Reply)> onReply);
  // Closes the connection, then SIGTERM; the reaper collects it. Not an exit that
  // counts towards the restart delay.
  void stop();
  // Ends a process that stopped answering: SIGKILL now. It counts as an exit.
  void kill(const std::string& why);

  bool isRunning() const { return session_ != nullptr; }
  pid_t pid() const;
  // When it will start again after exiting too often; absent unless it is waiting.
  std::optional<RestartBackoff::Clock::time_point> restartAt() const { return restartAt_; }
  // Called whenever waiting to restart begins or ends.
  void setOnRestartChanged(std::function<void()> changed) { onRestartChanged_ = std::move(changed); }

 private:
  struct Session;
  struct WaitingEvent {
    const ipc::Method* method;
    Json args;
  };
  // Starts the process unless it runs; false when it cannot start, or must wait first
  // (a restart is then planned).
  bool ensureStarted();
  bool spawn();
  void planRestart(RestartBackoff::Clock::duration delay);
  void restartNow();
  void endSession(const std::shared_ptr<Session>& session, const std::string& why);

  std::shared_ptr<const ExtensionInfo> extension_;
  CallHandler onCall_;
  ChildReaper& reaper_;
  std::shared_ptr<Session> session_;
  RestartBackoff backoff_;
  std::optional<RestartBackoff::Clock::time_point> restartAt_;
  unsigned restartSource_ = 0;
  std::deque<WaitingEvent> waiting_;
  std::function<void()> onRestartChanged_;
};

}  // namespace qv::host
