#include "tests/support/ServiceProcess.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <regex>

namespace qv::test {

ServiceProcess::ServiceProcess() {
  std::string error;
  auto certificates = makeTestCertificates(directory_.path(), &error);
  if (!certificates) {
    ADD_FAILURE() << "no test certificates: " << error;
    return;
  }
  certificates_ = *certificates;
  auto started = ChildProcess::start(
      {QV_SERVICE_PATH, "--listen", "127.0.0.1:0", "--cert", certificates_.certPemPath, "--key",
       certificates_.keyPemPath, "--record", recordPath()},
      {.captureStdout = true, .captureStderr = true});
  if (started) process_.emplace(std::move(*started));
  if (!process_) {
    ADD_FAILURE() << "cannot start " << QV_SERVICE_PATH;
    return;
  }
  static const std::regex listening("listening on 127\\.0\\.0\\.1:([0-9]+)\n");
  std::smatch match;
  bool reported = process_->waitForOutput(
      [&match](const std::string& out) { return std::regex_search(out, match, listening); },
      std::chrono::seconds(30));
  if (!reported) {
    ADD_FAILURE() << "the service did not report its port; stdout: " << process_->out();
    return;
  }
  port_ = std::stoi(match[1].str());
}

std::unique_ptr<httplib::SSLClient> ServiceProcess::client() const {
  auto client = std::make_unique<httplib::SSLClient>("127.0.0.1", port_);
  client->set_ca_cert_path(certificates_.caPemPath.c_str());
  client->enable_server_certificate_verification(true);
  client->set_connection_timeout(std::chrono::seconds(20));
  client->set_read_timeout(std::chrono::seconds(20));
  client->set_follow_location(false);
  return client;
}

std::vector<nlohmann::json> ServiceProcess::records() const {
  std::vector<nlohmann::json> lines;
  std::ifstream file(recordPath());
  for (std::string line; std::getline(file, line);) {
    lines.push_back(nlohmann::json::parse(line, nullptr, false));
  }
  return lines;
}

CommandResult ServiceProcess::terminate() {
  if (!process_) return {};
  process_->signal(SIGTERM);
  return process_->finish(std::chrono::seconds(20));
}

}  // namespace qv::test
