#pragma once

#include <sys/types.h>

#include <functional>
#include <map>

namespace qv::host {

// Owns the child processes the browser starts (spawned with G_SPAWN_DO_NOT_REAP_CHILD)
// until they are reaped, so none is left a zombie or running. Main thread only.
class ChildReaper {
 public:
  ChildReaper() = default;
  // Ends every child still running: SIGTERM, a bounded wait, then SIGKILL; reaps all.
  ~ChildReaper();
  ChildReaper(const ChildReaper&) = delete;
  ChildReaper& operator=(const ChildReaper&) = delete;

  // Watches `pid`; `onExit(waitStatus)` runs on the main thread once it has exited and
  // been reaped, unless terminate() came first.
  void watch(pid_t pid, std::function<void(int waitStatus)> onExit);
  // SIGTERM now, SIGKILL if it is still running after a grace period; reaped when it
  // exits. Its onExit is not called.
  void terminate(pid_t pid);
  bool isWatching(pid_t pid) const { return children_.count(pid) != 0; }

 private:
  struct Child {
    unsigned watchSource = 0;
    unsigned killSource = 0;
    std::function<void(int)> onExit;
  };
  void exited(pid_t pid, int status);

  std::map<pid_t, Child> children_;
};

}  // namespace qv::host
