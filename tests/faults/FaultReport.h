#pragma once

#include <string>

namespace qv::test {

// One line of the fault table: the scenario, whether it was survived, what was lost.
// Printed at once, and appended to $QV_FAULT_REPORT when set (scripts/test prints that
// file as a table after the suite).
void reportFault(const std::string& scenario, bool survived, const std::string& lost);

}  // namespace qv::test
