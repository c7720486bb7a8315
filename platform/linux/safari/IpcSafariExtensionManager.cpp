#include "platform/linux/safari/IpcSafariExtensionManager.h"

#include <atomic>
#include <thread>
#include <utility>

#include "ipc/Connection.h"
#include "ipc/ControlSocket.h"
#include "ipc/Protocol.h"
#include "platform/JsonFields.h"

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

IpcSafariExtensionManager::IpcSafariExtensionManager(std::string socketPath,
                                                     std::shared_ptr<MainQueue> mainQueue,
                                                     std::chrono::milliseconds timeout)
    : socketPath_(std::move(socketPath)), mainQueue_(std::move(mainQueue)), timeout_(timeout) {}

void IpcSafariExtensionManager::call(const ipc::Method& method, Json args,
                                     std::function<void(Outcome)> onOutcome) {
  auto once = std::make_shared<Once<Outcome>>(std::move(onOutcome));
  ipc::Connection::Handlers handlers;
  handlers.onCall = [](const std::string&, const Json&, ipc::Responder responder) {
    responder.fail("the companion takes no calls");
  };
  std::shared_ptr<ipc::Connection> connection =
      ipc::connectToControlSocket(socketPath_, std::move(handlers));
  if (!connection) {
    mainQueue_->async([once] {
      (*once)(Outcome{std::nullopt, SafariError{notRunningDescription}});
    });
    return;
  }
  std::weak_ptr<ipc::Connection> weakConnection = connection;
  // A call that cannot be sent fails at once, on this stack; that answer goes through
  // the main queue like the other immediate failures.
  auto returned = std::make_shared<std::atomic<bool>>(false);
  const std::thread::id caller = std::this_thread::get_id();
  connection->call(
      method, args,
      [once, weakConnection, returned, caller, mainQueue = mainQueue_](ipc::Reply reply) {
        if (auto open = weakConnection.lock()) open->close();
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
        if (!*returned && std::this_thread::get_id() == caller) {
          mainQueue->async(
              [once, outcome = std::move(outcome)]() mutable { (*once)(std::move(outcome)); });
        } else {
          (*once)(std::move(outcome));
        }
      });
  *returned = true;
  mainQueue_->asyncAfter(timeout_, [once, weakConnection] {
    // First the time-out, then the close, whose own failure then finds the answer given.
    (*once)(Outcome{std::nullopt, SafariError{"Safari did not answer"}});
    if (auto open = weakConnection.lock()) open->close();
  });
}

void IpcSafariExtensionManager::dispatchMessage(const std::string& name,
                                                const std::string& extensionIdentifier,
                                                const std::optional<Json>& userInfo,
                                                ErrorCompletion completion) {
  Json args{{"extensionIdentifier", extensionIdentifier},
            {"name", name},
            {"userInfo", userInfo ? *userInfo : Json(nullptr)}};
  call(ipc::control::dispatchMessage, std::move(args),
       [completion = std::move(completion)](Outcome outcome) {
         if (completion) completion(std::move(outcome.error));
       });
}

void IpcSafariExtensionManager::getStateOfSafariExtension(const std::string& extensionIdentifier,
                                                          StateCompletion completion) {
  call(ipc::control::getState, Json{{"extensionIdentifier", extensionIdentifier}},
       [completion = std::move(completion)](Outcome outcome) {
         if (!completion) return;
         if (outcome.error) return completion(std::nullopt, std::move(outcome.error));
         std::optional<SafariExtensionState> state;
         if (std::optional<bool> enabled =
                 outcome.result ? json::boolean(*outcome.result, "isEnabled") : std::nullopt) {
           state = SafariExtensionState{*enabled};
         }
         completion(state, std::nullopt);
       });
}

void IpcSafariExtensionManager::showPreferencesForExtension(const std::string& extensionIdentifier,
                                                            ErrorCompletion completion) {
  call(ipc::control::showPreferences, Json{{"extensionIdentifier", extensionIdentifier}},
       [completion = std::move(completion)](Outcome outcome) {
         if (completion) completion(std::move(outcome.error));
       });
}

}  // namespace qv
