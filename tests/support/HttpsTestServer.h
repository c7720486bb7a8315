#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/ReceivedRequest.h"

namespace qv::test {

using TestHeaders = service::HeaderList;

// One request as the test server received it, recorded as the service stand-in records
// its own.
struct RecordedRequest : service::ReceivedRequest {
  // The first value of header `name` (any case).
  std::optional<std::string> header(std::string_view name) const;
  // How many times header `name` (any case) arrived.
  std::size_t headerCount(std::string_view name) const;
};

// What a handler answers.
struct TestResponse {
  int status = 200;
  TestHeaders headers;  // sent in this order; repeated names stay separate
  std::string body;
  std::string contentType = "text/plain";
};

using TestHandler = std::function<TestResponse(const RecordedRequest&)>;

// PEM files of a throw-away certificate authority and of a server certificate it
// signed for 127.0.0.1 and localhost (P-256 keys, valid from an hour ago for a week).
struct TestCertificates {
  std::string caPemPath;
  std::string certPemPath;
  std::string keyPemPath;
};

// Writes ca.pem, server.pem and server-key.pem into `directory`. Absent on failure,
// with OpenSSL's reason in `error` when given.
std::optional<TestCertificates> makeTestCertificates(const std::string& directory,
                                                     std::string* error = nullptr);

// An HTTPS server on 127.0.0.1 with an ephemeral port, serving from a background
// thread pool with a certificate from its own throw-away authority (trust caPemPath()).
// Every request is recorded before its handler runs. Requests no handler matches get
// 404 "not found". Construction records a test failure (ADD_FAILURE) when the server
// cannot start; ok() then is false and port() 0. All methods are thread-safe;
// handlers run on server threads.
class HttpsTestServer {
 public:
  HttpsTestServer();
  // Stops the server and waits for running handlers to return.
  ~HttpsTestServer();
  HttpsTestServer(const HttpsTestServer&) = delete;
  HttpsTestServer& operator=(const HttpsTestServer&) = delete;

  bool ok() const;
  int port() const;
  std::string hostAndPort() const;                 // "127.0.0.1:PORT"
  std::string url(std::string_view target) const;  // "https://127.0.0.1:PORT" + target
  const std::string& caPemPath() const;            // the authority to trust
  const TestCertificates& certificates() const;

  // Answers requests for exactly `path` (no query) with `method` ("GET", "POST", ...;
  // "*" for any). HEAD is served by GET handlers without a body. A later registration
  // for the same method and path replaces the earlier one.
  void handle(std::string method, std::string path, TestHandler handler);
  void handle(std::string method, std::string path, TestResponse response);

  std::vector<RecordedRequest> requests() const;
  // True once at least `count` requests have arrived; false after `timeout`.
  bool waitForRequests(std::size_t count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  void clearRequests();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qv::test
