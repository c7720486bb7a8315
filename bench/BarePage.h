#pragma once

#include <string>
#include <vector>

namespace qv::test {
class E2eSystem;
}

namespace qv::bench {

// The command that starts bare_background_page (`executable`) with what the extension of
// `system` loads and trusts: the yardstick for what WebKit alone costs.
std::vector<std::string> barePageCommand(qv::test::E2eSystem& system,
                                         const std::string& executable);

}  // namespace qv::bench
