#include "bench/BarePage.h"

#include <chrono>
#include <cstdio>
#include <utility>
#include <vector>

#include "tests/support/gtk/E2eSystem.h"

namespace qv::bench {

std::optional<BarePage> startBarePage(qv::test::E2eSystem& system, std::string* error) {
  std::string resources =
      system.bundlePath() + "/Contents/PlugIns/Quorvane_Safari_Extension.appex/Contents/Resources";
  std::string host = "127.0.0.1:" + std::to_string(system.service().port());
  std::vector<std::string> command{QV_BARE_BACKGROUND_PAGE, "--resources=" + resources,
                                   "--base-url=https://" + host,
                                   "--ca=" + resources + "/dev-ca.pem", "--trust-host=" + host};
  std::optional<qv::test::ChildProcess> child =
      qv::test::ChildProcess::start(command, {.captureStdout = true}, error);
  if (!child) return std::nullopt;
  bool ready = child->waitForOutput(
      [](const std::string& out) { return out.find('\n') != std::string::npos; },
      std::chrono::seconds(30));
  double readyAt = 0;
  if (!ready || std::sscanf(child->out().c_str(), "ready %lf", &readyAt) != 1) {
    *error = "bare_background_page never became ready";
    return std::nullopt;
  }
  return BarePage{std::move(*child), readyAt};
}

}  // namespace qv::bench
