#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/Connection.h"
#include "ipc/Method.h"

namespace qv::ipc {

// Routes the calls one side of a connection answers to their handlers, through the
// connection's declared method table. Each incoming call is checked in order, and the
// first failure is its one answer: a method the table does not declare, one that has
// no handler here, an automation-only method while automation is off ("automation is
// off"), then arguments that do not match the declaration. Rejections are
// also reported to `onRejected` (for the log), whether or not the caller wanted a reply.
//
// Register every handler before the first dispatch; after that the dispatcher is only
// read, so it may dispatch on any thread. Handlers run on the dispatching thread.
class Dispatcher {
 public:
  using Handler = std::function<void(const Json& args, const Responder& responder)>;
  using Rejected = std::function<void(const std::string& method, const Error& error)>;

  explicit Dispatcher(MethodTable methods, Rejected onRejected = nullptr);

  // The handler of `method`, which must be one the table declares.
  void on(const Method& method, Handler handler);
  // Whether automation-only methods are served (default: yes). Setup only.
  void setAutomationAllowed(bool allowed) { automationAllowed_ = allowed; }
  // The handler of `method` is `object->member(args, responder)`.
  template <typename T>
  void on(const Method& method, T* object, void (T::*member)(const Json&, const Responder&)) {
    on(method, [object, member](const Json& args, const Responder& responder) {
      (object->*member)(args, responder);
    });
  }

  // The declared method `name` names, when it is one with a handler; otherwise the one
  // error to answer with. Lets a caller check on one thread and handle on another.
  struct Route {
    const Method* method = nullptr;
    std::optional<Error> error;
  };
  Route route(const std::string& name, const Json& args) const;
  // Runs the handler of a route without error.
  void run(const Route& route, const Json& args, const Responder& responder) const;

  // route() and then run(), or the rejection answered.
  void dispatch(const std::string& name, const Json& args, const Responder& responder) const;
  // Answers a rejected route: the error, logged.
  void reject(const std::string& name, const Error& error, const Responder& responder) const;

  // Declared methods without a handler (none, once a side is complete).
  std::vector<std::string_view> unhandled() const;

 private:
  MethodTable methods_;
  Rejected onRejected_;
  std::map<const Method*, Handler> handlers_;
  bool automationAllowed_ = true;
};

}  // namespace qv::ipc
