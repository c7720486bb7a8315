#pragma once

#include <cstdio>
#include <string>

namespace qv::bench {

// One goal's verdict, in the form scripts/bench collects:
//   GOAL <name>: <measured> (goal <comparison>) met|UNMET
inline void printGoal(const std::string& name, const std::string& measured,
                      const std::string& comparison, bool met) {
  std::printf("GOAL %s: %s (goal %s) %s\n", name.c_str(), measured.c_str(), comparison.c_str(),
              met ? "met" : "UNMET");
  std::fflush(stdout);
}

// printf into a std::string, for the measured part of a goal line.
template <typename... Args>
std::string format(const char* pattern, Args... args) {
  char text[256];
  std::snprintf(text, sizeof text, pattern, args...);
  return text;
}

}  // namespace qv::bench
