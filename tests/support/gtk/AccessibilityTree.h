#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace qv::test {

// Starts this test process's own accessibility bus on the first call (it ends with the
// process) and points this process, and so every process it starts afterwards, at it
// (AT_SPI_BUS_ADDRESS). The session's bus is not used: its socket sits at one path per
// user, which a concurrent session (or a person's desktop) takes over. False when the bus
// cannot be started. Use from the test's thread.
bool startAccessibilityBus();

// What application `pid` shows on screen as a screen reader reads it from the private bus
// above: the name and the text of every accessible in its showing windows whose ancestors
// are all visible, in tree order, empty ones left out. std::nullopt when the process has
// no application on the bus (not up yet, or started before startAccessibilityBus).
// Blocking D-Bus calls; use from the test's thread.
std::optional<std::vector<std::string>> showingTexts(pid_t pid);

// Presses the button named `name` in a showing window of application `pid`, as a screen
// reader's user does (its first action). False when there is no such button or the
// press fails. Use from the test's thread.
bool pressButton(pid_t pid, const std::string& name);

// How many windows application `pid` shows; absent as for showingTexts().
std::optional<std::size_t> showingWindowCount(pid_t pid);

// True when one of `texts` contains `part`.
bool anyContains(const std::vector<std::string>& texts, const std::string& part);

}  // namespace qv::test
