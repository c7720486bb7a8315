#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// A process-wide recorder of Chrome trace-event JSON (the format Perfetto and
// chrome://tracing open), for following one message through every process it crosses.
//
// Each stage of a message's path is a slice; slices of the same message share a key,
// which becomes the id of a flow that joins them across threads and processes. The key
// travels with the message: as the current key of the thread that handles it, across
// postToMain and MainQueue hand-overs, and in IPC frames (their "trace" member, sent only
// while tracing).
//
// Off unless start() was called: then every recording call costs one branch and writes
// nothing. All functions may be called on any thread.
namespace qv::trace {

// 0: no message.
using Key = std::uint64_t;
using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC: one clock for all processes

namespace detail {
extern std::atomic<bool> enabled;
}

inline bool enabled() {
  return detail::enabled.load(std::memory_order_relaxed);
}

// Starts writing to `path`, naming this process `processName`. False, with a line on
// stderr, when the file cannot be created. Events are buffered and written at stop(),
// at exit, and whenever 256 KiB have collected; a process that is killed loses what was
// still buffered, and what reached the file stays readable (one event per line, the
// closing bracket missing).
bool start(const std::string& path, const std::string& processName);
// Writes what is buffered and closes the file; recording stops.
void stop();
// The file start() writes to; empty when not tracing. For passing on to child processes,
// which write files of their own beside it.
std::string outputPath();

// A key no other process or message uses.
Key newKey();
// The key of the message this thread works for.
Key currentKey();

// Makes `key` the current key of this thread for the scope's lifetime.
class KeyScope {
 public:
  explicit KeyScope(Key key);
  ~KeyScope();
  KeyScope(const KeyScope&) = delete;
  KeyScope& operator=(const KeyScope&) = delete;

 private:
  Key previous_;
};

// Where a slice sits on its message's path.
enum class Flow { Begin, Step, End };

// Records a slice `stage` on this thread from `begin` to now, joined to `key`'s flow.
// Nothing when tracing is off or `key` is 0.
void slice(std::string_view stage, Clock::time_point begin, Key key, Flow flow = Flow::Step);

// The same for work that ends in a later callback, while the thread does other things
// meanwhile (an evaluation in a web process): an async slice, on a track of its own.
void asyncSlice(std::string_view stage, Clock::time_point begin, Key key);

// An instant of this process's life that belongs to no message (a process started, a
// page became ready): a mark on the calling thread's track. Nothing when tracing is off.
void mark(std::string_view name);

// A slice over the scope's lifetime, for the current key as it was at construction.
class Scope {
 public:
  explicit Scope(std::string_view stage, Flow flow = Flow::Step);
  ~Scope();
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  std::string_view stage_;
  Flow flow_;
  Key key_ = 0;
  Clock::time_point begin_;
};

// `task` made to run with the calling thread's current key, as slice `stage`: for work
// handed to another thread. `task` itself when tracing is off or there is no key.
std::function<void()> carried(std::function<void()> task, std::string_view stage = "main");

// Names the calling thread in the trace.
void nameThread(const std::string& name);

}  // namespace qv::trace
