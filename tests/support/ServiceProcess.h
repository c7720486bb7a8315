#pragma once

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/HttpsTestServer.h"
#include "tests/support/TempDir.h"

namespace qv::test {

// A running quorvane-service on a free port of 127.0.0.1, with a throw-away certificate
// authority and its own record file. Construction records a test failure when the
// service does not come up; ok() then is false. The service is killed with the object.
// Use from the test's thread.
class ServiceProcess {
 public:
  ServiceProcess();

  bool ok() const { return port_ != 0; }
  int port() const { return port_; }
  std::string origin() const { return "https://127.0.0.1:" + std::to_string(port_); }

  // An HTTPS client that trusts the service's authority and does not follow redirects.
  std::unique_ptr<httplib::SSLClient> client() const;

  // The record file, one parsed JSON value per line (a line that does not parse gives a
  // discarded value, so tests see it).
  std::vector<nlohmann::json> records() const;
  std::string recordPath() const { return directory_.path() + "/requests.jsonl"; }

  // Sends SIGTERM and waits (bounded) for the service to end.
  CommandResult terminate();

 private:
  TempDir directory_;
  TestCertificates certificates_;
  std::optional<ChildProcess> process_;
  int port_ = 0;
};

}  // namespace qv::test
