#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

// The value below which `fraction` of `values` lie (nearest rank); 0 for none.
inline double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

// Reads `--name=N` into `out`: false when `arg` is another option.
inline bool intOption(const char* arg, const char* prefix, int& out) {
  std::size_t length = std::strlen(prefix);
  if (std::strncmp(arg, prefix, length) != 0) return false;
  out = std::atoi(arg + length);
  return true;
}

}  // namespace qv::bench
