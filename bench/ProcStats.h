#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// What /proc says about the processes a benchmark measures.
namespace qv::bench {

// `pid` and every live process below it.
std::vector<pid_t> processTree(pid_t pid);
// The children of `pid` whose command name (/proc/PID/comm, at most 15 characters) starts
// with `name`.
std::vector<pid_t> childrenNamed(pid_t pid, const std::string& name);
// The process's command name (/proc/PID/comm); empty once it is gone.
std::string commandName(pid_t pid);
// User and system CPU time the process has used, in seconds; absent once it is gone.
std::optional<double> cpuSeconds(pid_t pid);
// Proportional set size (/proc/PID/smaps_rollup), in KiB; absent once it is gone.
std::optional<long> pssKib(pid_t pid);

// Sums over processes; those that are gone count nothing.
double cpuSeconds(const std::vector<pid_t>& pids);
long pssKib(const std::vector<pid_t>& pids);

// Waits until the whole machine has been quiet for one `window` (busy less than
// `busyShare` of all its cores, from /proc/stat), or until `limit` has passed; true when
// it became quiet. Between measured steps, so that one step's after-work (another
// process still finishing what the last step set off) does not land in the next.
bool waitForQuietMachine(std::chrono::milliseconds window, double busyShare,
                         std::chrono::milliseconds limit);

}  // namespace qv::bench
