// quorvane-service: a local stand-in of the online service on one HTTPS origin.
//
//   quorvane-service --listen 127.0.0.1:PORT --cert PEM --key PEM --record FILE
//
// PORT 0 picks a free port. Once bound it prints "listening on HOST:PORT" (flushed), so
// that whoever started it can find it, and serves until SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "service/RequestLog.h"
#include "service/Service.h"

namespace {

constexpr const char* usage =
    "usage: quorvane-service --listen HOST:PORT --cert PEM --key PEM --record FILE\n";

struct Options {
  std::string host;
  int port = 0;
  std::string cert;
  std::string key;
  std::string record;
};

std::optional<Options> parseOptions(int argc, char** argv) {
  std::map<std::string, std::string> values;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    std::string name = argument;
    std::optional<std::string> value;
    if (auto equals = argument.find('='); equals != std::string::npos) {
      name = argument.substr(0, equals);
      value = argument.substr(equals + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    }
    if ((name != "--listen" && name != "--cert" && name != "--key" && name != "--record") ||
        !value || value->empty() || values.count(name) != 0) {
      return std::nullopt;
    }
    values[name] = *value;
  }
  if (values.size() != 4) return std::nullopt;

  Options options;
  const std::string& listen = values["--listen"];
  auto colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  options.host = listen.substr(0, colon);
  const char* first = listen.data() + colon + 1;
  const char* last = listen.data() + listen.size();
  auto [end, error] = std::from_chars(first, last, options.port);
  if (first == last || error != std::errc() || end != last || options.port < 0 ||
      options.port > 65535) {
    return std::nullopt;
  }
  options.cert = values["--cert"];
  options.key = values["--key"];
  options.record = values["--record"];
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  auto options = parseOptions(argc, argv);
  if (!options) {
    std::fputs(usage, stderr);
    return 2;
  }
  auto log = qv::service::RequestLog::open(options->record);
  if (!log) {
    std::fprintf(stderr, "quorvane-service: cannot open %s for appending\n",
                 options->record.c_str());
    return 1;
  }

  // Signals are taken by one thread with sigwait, so stopping happens outside a handler;
  // every thread started from here on inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a client that hangs up must not end the service

  qv::service::Service service(std::move(*log));
  std::string error;
  if (!service.configure(options->cert, options->key, error)) {
    std::fprintf(stderr, "quorvane-service: %s\n", error.c_str());
    return 1;
  }
  auto port = service.bind(options->host, options->port);
  if (!port) {
    std::fprintf(stderr, "quorvane-service: cannot listen on %s:%d\n", options->host.c_str(),
                 options->port);
    return 1;
  }
  std::printf("listening on %s:%d\n", options->host.c_str(), *port);
  std::fflush(stdout);

  std::thread stopper([&service, stopSignals] {
    int received = 0;
    sigwait(&stopSignals, &received);
    service.stop();
  });
  bool served = service.run();
  // When serving ended on its own, wake the stopper so it can be joined.
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  return served ? 0 : 1;
}
