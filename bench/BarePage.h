#pragma once

#include <optional>
#include <string>

#include "tests/support/ChildProcess.h"

namespace qv::test {
class E2eSystem;
}

namespace qv::bench {

// bare_background_page running with what the extension of `system` loads and trusts:
// the yardstick for what WebKit alone costs.
struct BarePage {
  qv::test::ChildProcess process;  // ended (killed) when this goes
  double readyAtMicros = 0;        // steady clock, when its page posted "ready"
};

// Starts the program and waits (up to 30 s) for its page's "ready"; absent, with `error`
// set, when it cannot start or never becomes ready.
std::optional<BarePage> startBarePage(qv::test::E2eSystem& system, std::string* error);

}  // namespace qv::bench
