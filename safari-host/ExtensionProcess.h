#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ipc/Connection.h"
#include "platform/Json.h"
#include "safari-host/ExtensionInfo.h"

namespace qv::host {

class ChildReaper;

// The process of one enabled extension: `<appex>/Contents/MacOS/<CFBundleExecutable>
// --ipc-fd=3`, connected over a socketpair with framed JSON. Started on demand by the
// first event sent to it, and again by the next event after it exited, closed the
// connection or broke the protocol. Its calls reach `onCall` on the main thread. Main
// thread only.
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

  // Sends a call without reply, starting the process if needed. False when it could
  // not be started.
  bool notify(const ipc::Method& method, const Json& args);
  // Sends a call; `onReply` runs once on the main thread (with an error when the process
  // could not start or went away first, or when `timeout` is given and passes first).
  void call(const ipc::Method& method, const Json& args, std::function<void(ipc::Reply)> onReply,
            std::optional<std::chrono::milliseconds> timeout = std::nullopt);
  // Closes the connection, then SIGTERM; the reaper collects it.
  void stop();

  bool isRunning() const { return session_ != nullptr; }
  pid_t pid() const;

 private:
  struct Session;
  bool ensureStarted();
  void endSession(const std::shared_ptr<Session>& session, const std::string& why);

  std::shared_ptr<const ExtensionInfo> extension_;
  CallHandler onCall_;
  ChildReaper& reaper_;
  std::shared_ptr<Session> session_;
};

}  // namespace qv::host
