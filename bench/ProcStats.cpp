#include "bench/ProcStats.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace qv::bench {
namespace {

std::string procPath(pid_t pid, const char* file) {
  return "/proc/" + std::to_string(pid) + "/" + file;
}

// The fields of /proc/PID/stat after the command name, which may hold spaces and ')'.
std::optional<std::vector<std::string>> statFields(pid_t pid) {
  std::ifstream in(procPath(pid, "stat"));
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  std::size_t close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream rest(line.substr(close + 1));
  std::vector<std::string> fields;
  for (std::string field; rest >> field;) fields.push_back(field);
  return fields;
}

std::map<pid_t, std::vector<pid_t>> childrenByParent() {
  std::map<pid_t, std::vector<pid_t>> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;
    // Field 4 of stat, the second after the name: the parent.
    if (auto fields = statFields(static_cast<pid_t>(pid)); fields && fields->size() > 1) {
      children[static_cast<pid_t>(std::stol((*fields)[1]))].push_back(static_cast<pid_t>(pid));
    }
  }
  closedir(proc);
  return children;
}

// Jiffies the machine's cores have spent busy and in all, from /proc/stat's first line.
std::optional<std::pair<long long, long long>> machineJiffies() {
  std::ifstream in("/proc/stat");
  std::string cpu;
  if (!(in >> cpu) || cpu != "cpu") return std::nullopt;
  long long total = 0, idle = 0;
  for (int field = 0; field < 8; ++field) {
    long long value = 0;
    if (!(in >> value)) return std::nullopt;
    total += value;
    if (field == 3 || field == 4) idle += value;  // idle, iowait
  }
  return std::pair{total - idle, total};
}

}  // namespace

std::vector<pid_t> processTree(pid_t pid) {
  std::map<pid_t, std::vector<pid_t>> children = childrenByParent();
  std::vector<pid_t> tree{pid};
  for (std::size_t index = 0; index < tree.size(); ++index) {
    auto found = children.find(tree[index]);
    if (found != children.end())
      tree.insert(tree.end(), found->second.begin(), found->second.end());
  }
  return tree;
}

std::vector<pid_t> childrenNamed(pid_t pid, const std::string& name) {
  std::vector<pid_t> named;
  std::map<pid_t, std::vector<pid_t>> children = childrenByParent();
  for (pid_t child : children[pid]) {
    std::string comm = commandName(child);
    if (!comm.empty() && comm.rfind(name.substr(0, 15), 0) == 0) named.push_back(child);
  }
  return named;
}

std::string commandName(pid_t pid) {
  std::ifstream in(procPath(pid, "comm"));
  std::string comm;
  std::getline(in, comm);
  return comm;
}

std::optional<double> cpuSeconds(pid_t pid) {
  auto fields = statFields(pid);
  // utime and stime are fields 14 and 15 of stat: 12 and 13 after the name.
  if (!fields || fields->size() < 13) return std::nullopt;
  double ticks = std::stod((*fields)[11]) + std::stod((*fields)[12]);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::optional<long> pssKib(pid_t pid) {
  std::ifstream in(procPath(pid, "smaps_rollup"));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Pss:", 0) == 0) return std::stol(line.substr(4));
  }
  return std::nullopt;
}

double cpuSeconds(const std::vector<pid_t>& pids) {
  double total = 0;
  for (pid_t pid : pids) total += cpuSeconds(pid).value_or(0);
  return total;
}

long pssKib(const std::vector<pid_t>& pids) {
  long total = 0;
  for (pid_t pid : pids) total += pssKib(pid).value_or(0);
  return total;
}

bool waitForQuietMachine(std::chrono::milliseconds window, double busyShare,
                         std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  std::optional<std::pair<long long, long long>> before = machineJiffies();
  while (before && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(window);
    std::optional<std::pair<long long, long long>> after = machineJiffies();
    if (!after) return false;
    long long total = after->second - before->second;
    if (total > 0 && static_cast<double>(after->first - before->first) < busyShare * total) {
      return true;
    }
    before = after;
  }
  return false;
}

}  // namespace qv::bench
