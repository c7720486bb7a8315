#include "tests/support/ScriptedPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace qv::test {

struct ScriptedPeer::State {
  struct Rule {
    std::string method;
    Match when;
    Respond respond;
  };

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<Rule> rules;
  Observer observer;
  bool record = true;
  std::vector<ReceivedCall> calls;
  std::vector<std::shared_ptr<ipc::Connection>> connections;
  std::size_t closed = 0;

  void addRule(Rule rule) {
    std::lock_guard lock(mutex);
    rules.push_back(std::move(rule));
  }

  // The answer of the newest rule that takes `call`; absent when none does.
  std::optional<Answer> answerFor(const ReceivedCall& call) const {
    std::vector<Rule> candidates;
    {
      std::lock_guard lock(mutex);
      for (const Rule& rule : rules) {
        if (rule.method == call.method) candidates.push_back(rule);
      }
    }
    for (auto rule = candidates.rbegin(); rule != candidates.rend(); ++rule) {
      if (!rule->when || rule->when(call.args)) return rule->respond(call);
    }
    return std::nullopt;
  }

  void receive(const std::string& method, const Json& args, const ipc::Responder& responder) {
    ReceivedCall call{method, args, responder.wantsReply()};
    Observer watcher;
    {
      std::lock_guard lock(mutex);
      watcher = observer;
    }
    if (watcher) watcher(call);
    {
      std::lock_guard lock(mutex);
      if (record) calls.push_back(call);
    }
    changed.notify_all();
    if (!call.wantsReply) return;
    std::optional<Answer> answer = answerFor(call);
    if (!answer) return responder.fail(unscriptedError(method));
    if (answer->silent) return;
    if (answer->error) return responder.fail(*answer->error);
    responder.reply(answer->result.value_or(Json::object()));
  }
};

std::string ScriptedPeer::unscriptedError(const std::string& method) {
  return "the test scripted no answer to " + method;
}

ScriptedPeer::Match ScriptedPeer::argIs(std::string key, Json value) {
  return [key = std::move(key), value = std::move(value)](const Json& args) {
    return args.is_object() && args.contains(key) && args.at(key) == value;
  };
}

ScriptedPeer::ScriptedPeer() : state_(std::make_shared<State>()) {}

ScriptedPeer::ScriptedPeer(const std::string& listenPath) : ScriptedPeer() {
  listen(listenPath);
}

ScriptedPeer::~ScriptedPeer() {
  if (acceptor_.joinable()) {
    char byte = 0;
    [[maybe_unused]] ssize_t ignored = ::write(wakeWrite_.get(), &byte, 1);
    acceptor_.join();
  }
  if (listenFd_) ::unlink(path_.c_str());
  close();
  // Rules and the observer may refer to the test's objects: none may run after this.
  std::vector<std::shared_ptr<ipc::Connection>> connections;
  {
    std::unique_lock lock(state_->mutex);
    state_->changed.wait_for(lock, std::chrono::seconds(10),
                             [&] { return state_->closed == state_->connections.size(); });
    // The connections' handlers hold the state: let go of them, outside the lock.
    connections.swap(state_->connections);
  }
}

void ScriptedPeer::answer(const std::string& method, Json result, Match when) {
  state_->addRule({method, std::move(when), [result = std::move(result)](const ReceivedCall&) {
                     return Answer::with(result);
                   }});
}

void ScriptedPeer::fail(const std::string& method, std::string error, Match when) {
  state_->addRule({method, std::move(when), [error = std::move(error)](const ReceivedCall&) {
                     return Answer::failure(error);
                   }});
}

void ScriptedPeer::ignore(const std::string& method, Match when) {
  state_->addRule({method, std::move(when), [](const ReceivedCall&) { return Answer::none(); }});
}

void ScriptedPeer::respond(const std::string& method, Respond respond, Match when) {
  state_->addRule({method, std::move(when), std::move(respond)});
}

void ScriptedPeer::observe(Observer observer) {
  std::lock_guard lock(state_->mutex);
  state_->observer = std::move(observer);
}

void ScriptedPeer::setRecording(bool record) {
  std::lock_guard lock(state_->mutex);
  state_->record = record;
}

void ScriptedPeer::serve(UniqueFd fd) {
  ipc::Connection::Handlers handlers;
  // The handlers hold the state, not the peer: a reader finishing late finds it alive.
  handlers.onCall = [state = state_](const std::string& method, const Json& args,
                                     ipc::Responder responder) {
    state->receive(method, args, responder);
  };
  handlers.onClose = [state = state_] {
    {
      std::lock_guard lock(state->mutex);
      ++state->closed;
    }
    state->changed.notify_all();
  };
  // Counted before the reader starts, so that its close is never counted first.
  std::lock_guard lock(state_->mutex);
  state_->connections.push_back(ipc::Connection::start(fd.release(), std::move(handlers)));
}

bool ScriptedPeer::listen(const std::string& path) {
  if (listenFd_) return false;
  std::error_code error;
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  std::filesystem::create_directories(folder, error);
  if (error || ::chmod(folder.c_str(), 0700) != 0) return false;
  ::unlink(path.c_str());

  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int wake[2];
  if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), 16) != 0 || ::pipe2(wake, O_CLOEXEC) != 0) {
    return false;
  }
  wakeRead_.reset(wake[0]);
  wakeWrite_.reset(wake[1]);
  path_ = path;
  listenFd_ = std::move(fd);
  acceptor_ = std::thread([this] { acceptLoop(); });
  return true;
}

bool ScriptedPeer::listening() const {
  return static_cast<bool>(listenFd_);
}

void ScriptedPeer::acceptLoop() {
  while (true) {
    pollfd fds[2] = {{listenFd_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    UniqueFd client(::accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (client) serve(std::move(client));
  }
}

std::shared_ptr<ipc::Connection> ScriptedPeer::connection() const {
  std::lock_guard lock(state_->mutex);
  return state_->connections.empty() ? nullptr : state_->connections.back();
}

ipc::Reply ScriptedPeer::call(const std::string& method, const Json& args,
                              std::chrono::milliseconds timeout) const {
  std::shared_ptr<ipc::Connection> current = connection();
  if (!current) return ipc::Reply::failure(ipc::ErrorKind::NotSent, "nothing served yet");
  return current->callAndWait(method, args, timeout);
}

bool ScriptedPeer::notify(const std::string& method, const Json& args) const {
  std::shared_ptr<ipc::Connection> current = connection();
  return current && current->notify(method, args);
}

void ScriptedPeer::close() {
  std::vector<std::shared_ptr<ipc::Connection>> connections;
  {
    std::lock_guard lock(state_->mutex);
    connections = state_->connections;
  }
  for (const auto& each : connections) each->close();
}

std::vector<ReceivedCall> ScriptedPeer::calls() const {
  std::lock_guard lock(state_->mutex);
  return state_->calls;
}

std::vector<ReceivedCall> ScriptedPeer::callsOf(const std::string& method) const {
  std::vector<ReceivedCall> found;
  for (ReceivedCall& call : calls()) {
    if (call.method == method) found.push_back(std::move(call));
  }
  return found;
}

std::optional<ReceivedCall> ScriptedPeer::waitForCall(const std::string& method, const Match& when,
                                                      std::chrono::milliseconds timeout) const {
  std::optional<ReceivedCall> found;
  // `when` is the test's code: it runs on a copy, outside the lock.
  waitForCalls(
      [&](const std::vector<ReceivedCall>& calls) {
        auto match = std::find_if(calls.begin(), calls.end(), [&](const ReceivedCall& call) {
          return call.method == method && (!when || when(call.args));
        });
        if (match != calls.end()) found = *match;
        return found.has_value();
      },
      timeout);
  return found;
}

bool ScriptedPeer::waitForCalls(const CallsDone& done, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(state_->mutex);
  while (true) {
    std::vector<ReceivedCall> snapshot = state_->calls;
    std::size_t seen = snapshot.size();
    lock.unlock();
    if (done(snapshot)) return true;
    lock.lock();
    // Wakes for any change; `done` is asked again only when calls have arrived.
    if (!state_->changed.wait_until(lock, deadline, [&] { return state_->calls.size() != seen; })) {
      return false;
    }
  }
}

bool ScriptedPeer::waitForClose(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, timeout, [&] {
    return !state_->connections.empty() && state_->closed == state_->connections.size();
  });
}

}  // namespace qv::test
