#include "safari-host/ExtensionProcess.h"

#include <glib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "platform/linux/system/MainContext.h"
#include "platform/linux/system/Trace.h"
#include "safari-host/ChildReaper.h"
#include "safari-host/Log.h"

namespace qv::host {
namespace {

// The descriptor number the extension finds its end of the socket pair under.
constexpr int kChildIpcFd = 3;

std::string describeStatus(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
  return "ended";
}

}  // namespace

// One run of the process. Only ExtensionProcess holds it strongly, so callbacks from the
// connection's reader thread, which hold it weakly, find it gone once it has ended.
struct ExtensionProcess::Session {
  ExtensionProcess* owner = nullptr;
  std::shared_ptr<ipc::Connection> connection;
  pid_t pid = 0;
  bool childRunning = true;
};

ExtensionProcess::ExtensionProcess(std::shared_ptr<const ExtensionInfo> extension,
                                   CallHandler onCall, ChildReaper& reaper)
    : extension_(std::move(extension)), onCall_(std::move(onCall)), reaper_(reaper) {}

ExtensionProcess::~ExtensionProcess() {
  if (restartSource_ != 0) g_source_remove(restartSource_);
  stop();
}

pid_t ExtensionProcess::pid() const {
  return session_ ? session_->pid : 0;
}

bool ExtensionProcess::ensureStarted() {
  // A connection that closed a moment ago, before its report reached us, is over too.
  if (session_ && !session_->connection->isOpen()) {
    endSession(session_, "closed the connection");
  }
  if (session_) return true;
  if (restartAt_) return false;  // a restart is planned already
  RestartBackoff::Clock::duration delay = backoff_.delayAt(RestartBackoff::Clock::now());
  if (delay > RestartBackoff::Clock::duration::zero()) {
    planRestart(delay);
    return false;
  }
  return spawn();
}

void ExtensionProcess::planRestart(RestartBackoff::Clock::duration delay) {
  auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(delay);
  logError("extension " + extension_->identifier + " exited " +
           std::to_string(backoff_.exitsInARow()) + " times in a row; it starts again in " +
           std::to_string((milliseconds.count() + 999) / 1000) + " s");
  restartAt_ = RestartBackoff::Clock::now() + delay;
  restartSource_ = runAfter(milliseconds, [this] {
    restartSource_ = 0;
    restartNow();
  });
  if (onRestartChanged_) onRestartChanged_();
}

void ExtensionProcess::restartNow() {
  restartAt_.reset();
  if (onRestartChanged_) onRestartChanged_();
  if (waiting_.empty()) return;  // nothing asked for it: the next event starts it
  if (!ensureStarted()) return;
  std::deque<WaitingEvent> events = std::move(waiting_);
  waiting_.clear();
  for (WaitingEvent& event : events) session_->connection->notify(*event.method, event.args);
}

bool ExtensionProcess::spawn() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    logError("cannot create a socket pair for " + extension_->identifier);
    return false;
  }
  std::string fdArgument = "--ipc-fd=" + std::to_string(kChildIpcFd);
  std::string traceArgument;
  if (std::string trace = trace::outputPath(); !trace.empty()) {
    // Each start writes a file of its own beside the browser's.
    static int traceFiles = 0;
    traceArgument = "--trace=" + trace + "." + extension_->identifier + "." +
                    std::to_string(++traceFiles) + ".json";
  }
  trace::mark("start " + extension_->identifier);
  const char* argv[] = {extension_->executablePath.c_str(), fdArgument.c_str(),
                        traceArgument.empty() ? nullptr : traceArgument.c_str(), nullptr};
  // Only the child's copy is inherited: GLib maps it to kChildIpcFd and closes the rest.
  const int sourceFds[] = {fds[1]};
  const int targetFds[] = {kChildIpcFd};
  GPid pid = 0;
  GError* error = nullptr;
  gboolean spawned = g_spawn_async_with_pipes_and_fds(
      nullptr, argv, nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, -1, -1, -1, sourceFds,
      targetFds, 1, &pid, nullptr, nullptr, nullptr, &error);
  ::close(fds[1]);
  if (!spawned) {
    logError("cannot start " + extension_->executablePath + ": " +
             (error != nullptr ? error->message : "?"));
    g_clear_error(&error);
    ::close(fds[0]);
    return false;
  }
  backoff_.started(RestartBackoff::Clock::now());

  auto session = std::make_shared<Session>();
  session->owner = this;
  session->pid = pid;
  std::weak_ptr<Session> weak = session;
  std::string identifier = extension_->identifier;
  ipc::Connection::Handlers handlers;
  handlers.onCall = [weak](const std::string& method, const Json& args, ipc::Responder responder) {
    postToMain([weak, method, args, responder] {
      std::shared_ptr<Session> current = weak.lock();
      if (!current) return;
      current->owner->onCall_(method, args, responder);
    });
  };
  handlers.onProtocolError = [identifier](const std::string& description) {
    logError("extension " + identifier + " broke the protocol: " + description);
  };
  handlers.onNotice = [identifier](const std::string& description) {
    logError("extension " + identifier + " sent a message that was refused: " + description);
  };
  handlers.onClose = [weak] {
    postToMain([weak] {
      if (std::shared_ptr<Session> current = weak.lock()) {
        current->owner->endSession(current, "closed the connection");
      }
    });
  };
  session->connection = ipc::Connection::start(fds[0], std::move(handlers));
  reaper_.watch(pid, [weak](int status) {
    if (std::shared_ptr<Session> current = weak.lock()) {
      current->childRunning = false;
      current->owner->endSession(current, describeStatus(status));
    }
  });
  session_ = std::move(session);
  return true;
}

void ExtensionProcess::endSession(const std::shared_ptr<Session>& session, const std::string& why) {
  if (session != session_) return;
  logError("extension " + extension_->identifier + " " + why + "; it restarts on the next event");
  backoff_.exited(RestartBackoff::Clock::now());
  stop();
}

void ExtensionProcess::stop() {
  std::shared_ptr<Session> session = std::move(session_);
  session_.reset();
  if (!session) return;
  session->connection->close();
  if (session->childRunning) reaper_.terminate(session->pid);
}

void ExtensionProcess::kill(const std::string& why) {
  if (!session_ || !session_->childRunning) return;
  logError("extension " + extension_->identifier + " " + why + "; killing it");
  // The reaper reports the exit, which ends the session and counts.
  ::kill(session_->pid, SIGKILL);
}

bool ExtensionProcess::notify(const ipc::Method& method, const Json& args) {
  if (!ensureStarted()) {
    if (!restartAt_) return false;
    // It may start again soon: the event waits for it, and the oldest gives way.
    if (waiting_.size() == kMaxWaitingEvents) {
      logError("extension " + extension_->identifier + " is waiting to restart; dropped the " +
               "oldest waiting " + std::string(waiting_.front().method->name));
      waiting_.pop_front();
    }
    waiting_.push_back(WaitingEvent{&method, args});
    return true;
  }
  if (session_->connection->notify(method, args)) return true;
  // The process may have died before we noticed: the event goes to a new one instead.
  if (session_->connection->isOpen()) return false;  // the message itself was unsendable
  endSession(session_, "closed the connection");
  return notify(method, args);
}

void ExtensionProcess::call(const ipc::Method& method, const Json& args,
                            std::function<void(ipc::Reply)> onReply) {
  if (!ensureStarted()) {
    onReply(ipc::Reply::failure(ipc::ErrorKind::NotSent,
                                restartAt_ ? "the extension is waiting to restart"
                                           : "the extension could not be started"));
    return;
  }
  session_->connection->call(method, args, [onReply = std::move(onReply)](ipc::Reply reply) {
    postToMain([onReply, reply = std::move(reply)] { onReply(reply); });
  });
}

}  // namespace qv::host
