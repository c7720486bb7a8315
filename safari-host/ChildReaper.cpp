#include "safari-host/ChildReaper.h"

#include <glib.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

namespace qv::host {
namespace {

constexpr unsigned kTerminateGraceMs = 3000;
constexpr auto kShutdownGrace = std::chrono::milliseconds(2000);

struct WatchData {
  ChildReaper* reaper;
  pid_t pid;
};

}  // namespace

ChildReaper::~ChildReaper() {
  auto children = std::move(children_);
  children_.clear();
  for (auto& [pid, child] : children) {
    // Reap here ourselves: GLib must not wait for these any more.
    if (child.watchSource != 0) g_source_remove(child.watchSource);
    if (child.killSource != 0) g_source_remove(child.killSource);
    kill(pid, SIGTERM);
  }
  auto deadline = std::chrono::steady_clock::now() + kShutdownGrace;
  for (auto& [pid, child] : children) {
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

void ChildReaper::watch(pid_t pid, std::function<void(int waitStatus)> onExit) {
  Child& child = children_[pid];
  child.onExit = std::move(onExit);
  child.watchSource = g_child_watch_add_full(
      G_PRIORITY_DEFAULT, pid,
      +[](GPid exitedPid, int status, gpointer data) {
        auto* watch = static_cast<WatchData*>(data);
        watch->reaper->exited(exitedPid, status);
      },
      new WatchData{this, pid}, +[](gpointer data) { delete static_cast<WatchData*>(data); });
}

void ChildReaper::exited(pid_t pid, int status) {
  auto it = children_.find(pid);
  if (it == children_.end()) return;
  Child child = std::move(it->second);
  children_.erase(it);
  if (child.killSource != 0) g_source_remove(child.killSource);
  g_spawn_close_pid(pid);
  if (child.onExit) child.onExit(status);
}

void ChildReaper::terminate(pid_t pid) {
  auto it = children_.find(pid);
  if (it == children_.end()) return;
  it->second.onExit = nullptr;
  kill(pid, SIGTERM);
  if (it->second.killSource != 0) return;
  it->second.killSource = g_timeout_add_full(
      G_PRIORITY_DEFAULT, kTerminateGraceMs,
      +[](gpointer data) -> gboolean {
        auto* watch = static_cast<WatchData*>(data);
        auto child = watch->reaper->children_.find(watch->pid);
        if (child != watch->reaper->children_.end()) {
          child->second.killSource = 0;
          kill(watch->pid, SIGKILL);
        }
        return G_SOURCE_REMOVE;
      },
      new WatchData{this, pid}, +[](gpointer data) { delete static_cast<WatchData*>(data); });
}

}  // namespace qv::host
