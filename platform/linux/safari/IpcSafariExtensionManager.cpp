#include "platform/linux/safari/IpcSafariExtensionManager.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

#include "ipc/Connection.h"
#include "ipc/ControlSocket.h"
#include "ipc/Protocol.h"
#include "platform/JsonFields.h"
#include "platform/linux/safari/EnabledStore.h"

namespace qv {
namespace {

// Delivers the first outcome only: the answer and the timeout race for it.
template <typename Outcome>
class Once {
 public:
  explicit Once(std::function<void(Outcome)> deliver) : deliver_(std::move(deliver)) {}
  void operator()(Outcome outcome) {
    if (done_.exchange(true)) return;
    deliver_(std::move(outcome));
    deliver_ = nullptr;
  }

 private:
  std::atomic<bool> done_{false};
  std::function<void(Outcome)> deliver_;
};

}  // namespace

struct IpcSafariExtensionManager::Impl : std::enable_shared_from_this<Impl> {
  struct Outcome {
    std::optional<Json> result;
    std::optional<SafariError> error;
  };
  using Deliver = std::shared_ptr<Once<Outcome>>;
  // What a call does when nothing listens: answer without the browser, or start it.
  enum class WhenAbsent { answerFromChoices, startBrowser };

  Impl(std::string socketPath, std::shared_ptr<MainQueue> mainQueue, BrowserAbsent absent,
       std::chrono::milliseconds timeout)
      : socketPath(std::move(socketPath)),
        mainQueue(std::move(mainQueue)),
        absent(std::move(absent)),
        timeout(timeout) {}

  ~Impl() {
    // An open connection outlives its owners; this one ends with the manager.
    if (kept) kept->close();
  }

  void call(const ipc::Method& method, Json args, WhenAbsent whenAbsent,
            std::function<void(Outcome)> onOutcome) {
    attempt(method, std::move(args), whenAbsent,
            std::make_shared<Once<Outcome>>(std::move(onOutcome)));
  }

  void attempt(const ipc::Method& method, Json args, WhenAbsent whenAbsent, Deliver deliver) {
    if (callConnected(method, args, whenAbsent, deliver)) return;
    mainQueue->async([self = shared_from_this(), &method, args = std::move(args), whenAbsent,
                      deliver]() mutable {
      if (whenAbsent == WhenAbsent::answerFromChoices) {
        (*deliver)(self->stateFromChoices(args));
      } else {
        self->startAndRetry(method, std::move(args), deliver);
      }
    });
  }

  // The connection of earlier calls while it is open, else a new one; null when nothing
  // listens. `reused` says which.
  std::shared_ptr<ipc::Connection> connection(bool& reused) {
    std::lock_guard lock(connectionMutex);
    reused = kept && kept->isOpen();
    if (reused) return kept;
    ipc::Connection::Handlers handlers;
    handlers.onCall = [](const std::string&, const Json&, ipc::Responder responder) {
      responder.fail("the companion takes no calls");
    };
    kept = ipc::connectToControlSocket(socketPath, std::move(handlers));
    return kept;
  }

  void forget(const std::shared_ptr<ipc::Connection>& connection) {
    std::lock_guard lock(connectionMutex);
    if (kept == connection) kept.reset();
  }

  // False when nothing listens; otherwise the outcome comes through `deliver`.
  bool callConnected(const ipc::Method& method, const Json& args, WhenAbsent whenAbsent,
                     const Deliver& deliver) {
    bool reused = false;
    std::shared_ptr<ipc::Connection> connection = this->connection(reused);
    if (!connection) return false;
    std::weak_ptr<ipc::Connection> weakConnection = connection;
    // A call that cannot be sent fails at once, on this stack; that answer goes through
    // the main queue like the other immediate failures.
    auto returned = std::make_shared<std::atomic<bool>>(false);
    const std::thread::id caller = std::this_thread::get_id();
    connection->call(method, args,
                     [self = shared_from_this(), &method, args, whenAbsent, deliver, weakConnection,
                      reused, returned, caller](ipc::Reply reply) {
                       std::shared_ptr<ipc::Connection> used = weakConnection.lock();
                       bool closed =
                           reply.error && (reply.error->kind == ipc::ErrorKind::ConnectionClosed ||
                                           (reply.error->kind == ipc::ErrorKind::NotSent &&
                                            (!used || !used->isOpen())));
                       if (closed) self->forget(used);
                       if (closed && reused) {
                         // The browser hung up since the last call (it quit or restarted):
                         // the call goes again, to whatever listens now.
                         self->attempt(method, args, whenAbsent, deliver);
                         return;
                       }
                       self->answer(std::move(reply), deliver,
                                    !*returned && std::this_thread::get_id() == caller);
                     });
    *returned = true;
    mainQueue->asyncAfter(timeout, [self = shared_from_this(), deliver, weakConnection] {
      // First the time-out, then the close, whose own failure then finds the answer given.
      (*deliver)(Outcome{std::nullopt, SafariError{"Safari did not answer"}});
      if (auto open = weakConnection.lock()) {
        self->forget(open);
        open->close();
      }
    });
    return true;
  }

  void answer(ipc::Reply reply, const Deliver& deliver, bool onCallersStack) {
    Outcome outcome;
    if (reply.error && reply.error->kind == ipc::ErrorKind::InvalidReply) {
      // An answer of the wrong shape: neither a result nor an error.
    } else if (reply.error) {
      // The connection's own wording for a hang-up is not meant for users.
      outcome.error = SafariError{reply.error->kind == ipc::ErrorKind::ConnectionClosed
                                      ? "Safari closed the connection"
                                      : reply.error->message};
    } else {
      outcome.result = std::move(reply.result);
    }
    if (onCallersStack) {
      mainQueue->async(
          [deliver, outcome = std::move(outcome)]() mutable { (*deliver)(std::move(outcome)); });
    } else {
      (*deliver)(std::move(outcome));
    }
  }

  // Main queue. Calls that find the browser absent while one start is pending share it.
  void startAndRetry(const ipc::Method& method, Json args, Deliver deliver) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= startingUntil) {
      if (!absent.startBrowser || !absent.startBrowser()) {
        return (*deliver)(Outcome{std::nullopt, SafariError{notRunningDescription}});
      }
      startingUntil = now + absent.startWait;
    }
    retryUntil(method, std::move(args), std::move(deliver), startingUntil);
  }

  void retryUntil(const ipc::Method& method, Json args, Deliver deliver,
                  std::chrono::steady_clock::time_point deadline) {
    if (callConnected(method, args, WhenAbsent::startBrowser, deliver)) {
      // Up: a browser that closes again later is started again.
      startingUntil = {};
      return;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return (*deliver)(Outcome{std::nullopt, SafariError{notRunningDescription}});
    }
    constexpr std::chrono::milliseconds kRetryInterval{50};
    mainQueue->asyncAfter(kRetryInterval, [self = shared_from_this(), &method,
                                           args = std::move(args), deliver, deadline]() mutable {
      self->retryUntil(method, std::move(args), std::move(deliver), deadline);
    });
  }

  // Read at each call: safari-host may have changed the file since the last one.
  Outcome stateFromChoices(const Json& args) const {
    safarihost::EnabledStore choices(absent.choicesPath);
    const bool enabled = choices.isEnabled(json::string(args, "extensionIdentifier").value_or(""),
                                           absent.appBundlePath);
    return Outcome{Json{{"isEnabled", enabled}}, std::nullopt};
  }

  const std::string socketPath;
  const std::shared_ptr<MainQueue> mainQueue;
  const BrowserAbsent absent;
  const std::chrono::milliseconds timeout;
  // Main queue only: until when a browser we started is given to open its socket.
  std::chrono::steady_clock::time_point startingUntil{};
  std::mutex connectionMutex;
  std::shared_ptr<ipc::Connection> kept;  // guarded by connectionMutex
};

IpcSafariExtensionManager::IpcSafariExtensionManager(std::string socketPath,
                                                     std::shared_ptr<MainQueue> mainQueue,
                                                     BrowserAbsent absent,
                                                     std::chrono::milliseconds timeout)
    : impl_(std::make_shared<Impl>(std::move(socketPath), std::move(mainQueue), std::move(absent),
                                   timeout)) {}

void IpcSafariExtensionManager::dispatchMessage(const std::string& name,
                                                const std::string& extensionIdentifier,
                                                const std::optional<Json>& userInfo,
                                                ErrorCompletion completion) {
  Json args{{"extensionIdentifier", extensionIdentifier},
            {"name", name},
            {"userInfo", userInfo ? *userInfo : Json(nullptr)}};
  impl_->call(ipc::control::dispatchMessage, std::move(args), Impl::WhenAbsent::startBrowser,
              [completion = std::move(completion)](Impl::Outcome outcome) {
                if (completion) completion(std::move(outcome.error));
              });
}

void IpcSafariExtensionManager::getStateOfSafariExtension(const std::string& extensionIdentifier,
                                                          StateCompletion completion) {
  impl_->call(ipc::control::getState, Json{{"extensionIdentifier", extensionIdentifier}},
              Impl::WhenAbsent::answerFromChoices,
              [completion = std::move(completion)](Impl::Outcome outcome) {
                if (!completion) return;
                if (outcome.error) return completion(std::nullopt, std::move(outcome.error));
                std::optional<SafariExtensionState> state;
                if (std::optional<bool> enabled = outcome.result
                                                      ? json::boolean(*outcome.result, "isEnabled")
                                                      : std::nullopt) {
                  state = SafariExtensionState{*enabled};
                }
                completion(state, std::nullopt);
              });
}

void IpcSafariExtensionManager::showPreferencesForExtension(const std::string& extensionIdentifier,
                                                            ErrorCompletion completion) {
  impl_->call(ipc::control::showPreferences, Json{{"extensionIdentifier", extensionIdentifier}},
              Impl::WhenAbsent::startBrowser,
              [completion = std::move(completion)](Impl::Outcome outcome) {
                if (completion) completion(std::move(outcome.error));
              });
}

}  // namespace qv
