#include "ipc/Dispatcher.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace qv::ipc {

Dispatcher::Dispatcher(MethodTable methods, Rejected onRejected)
    : methods_(methods), onRejected_(std::move(onRejected)) {}

void Dispatcher::on(const Method& method, Handler handler) {
  if (findMethod(methods_, method.name) != &method) {
    // A programming error that every test run would show: fail loudly at start.
    std::fprintf(stderr, "ipc: %.*s is not a method of this connection\n",
                 static_cast<int>(method.name.size()), method.name.data());
    std::abort();
  }
  handlers_[&method] = std::move(handler);
}

Dispatcher::Route Dispatcher::route(const std::string& name, const Json& args) const {
  const Method* method = findMethod(methods_, name);
  if (method == nullptr || handlers_.count(method) == 0) {
    return Route{nullptr, Error{ErrorKind::UnknownMethod, "unknown method: " + name}};
  }
  if (method->automationOnly && !automationAllowed_) {
    return Route{nullptr, Error{ErrorKind::NotAllowed, "automation is off"}};
  }
  if (std::optional<Error> error = checkFields(args, method->args)) {
    return Route{nullptr, std::move(error)};
  }
  return Route{method, std::nullopt};
}

void Dispatcher::run(const Route& route, const Json& args, const Responder& responder) const {
  handlers_.at(route.method)(args, responder);
}

void Dispatcher::dispatch(const std::string& name, const Json& args,
                          const Responder& responder) const {
  Route found = route(name, args);
  if (found.error) return reject(name, *found.error, responder);
  run(found, args, responder);
}

void Dispatcher::reject(const std::string& name, const Error& error,
                        const Responder& responder) const {
  if (onRejected_) onRejected_(name, error);
  responder.fail(error);
}

std::vector<std::string_view> Dispatcher::unhandled() const {
  std::vector<std::string_view> missing;
  for (const Method* method : methods_) {
    if (handlers_.count(method) == 0) missing.push_back(method->name);
  }
  return missing;
}

}  // namespace qv::ipc
