#pragma once

#include <httplib.h>

#include <memory>
#include <optional>
#include <string>

#include "service/CodeStore.h"
#include "service/RequestLog.h"

namespace qv::service {

// The service stand-in: every role of the online service (sign-in pages, token and user
// record endpoints, analytics, logs, the assistant's site configuration) on one HTTPS
// origin. Each request is appended to the request log before it is answered.
class Service {
 public:
  explicit Service(RequestLog log);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Loads the PEM certificate chain and key; false with the reason in `error`.
  bool configure(const std::string& certPath, const std::string& keyPath, std::string& error);
  // Binds host:port (0 picks a free port); the bound port, or absent.
  std::optional<int> bind(const std::string& host, int port);
  // Serves until stop(); false when serving could not start.
  bool run();
  // Thread-safe; makes run() return.
  void stop();

 private:
  void serve(const httplib::Request& request, httplib::Response& response);
  void record(const httplib::Request& request);

  void signInPage(const httplib::Request& request, httplib::Response& response);
  void completeSignIn(const httplib::Request& request, httplib::Response& response);
  void exchangeToken(const httplib::Request& request, httplib::Response& response);
  void userOrAnonymous(const httplib::Request& request, httplib::Response& response);
  void siteConfiguration(const httplib::Request& request, httplib::Response& response);
  void successPage(const httplib::Request& request, httplib::Response& response);
  void indexPage(const httplib::Request& request, httplib::Response& response);
  // Analytics batches and log records: taken, recorded, answered 200.
  void accept(const httplib::Request& request, httplib::Response& response);

  struct Route {
    const char* method;
    const char* path;
    void (Service::*handle)(const httplib::Request&, httplib::Response&);
  };
  static const Route routes[];

  RequestLog log_;
  CodeStore store_;
  std::unique_ptr<httplib::SSLServer> server_;
};

}  // namespace qv::service
