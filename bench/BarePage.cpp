#include "bench/BarePage.h"

#include "tests/support/gtk/E2eSystem.h"

namespace qv::bench {

std::vector<std::string> barePageCommand(qv::test::E2eSystem& system,
                                         const std::string& executable) {
  std::string resources =
      system.bundlePath() + "/Contents/PlugIns/Quorvane_Safari_Extension.appex/Contents/Resources";
  std::string host = "127.0.0.1:" + std::to_string(system.service().port());
  return {executable, "--resources=" + resources, "--base-url=https://" + host,
          "--ca=" + resources + "/dev-ca.pem", "--trust-host=" + host};
}

}  // namespace qv::bench
