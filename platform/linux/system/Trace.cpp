#include "platform/linux/system/Trace.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/CHandle.h"
#include "platform/Json.h"

namespace qv::trace {
namespace detail {
std::atomic<bool> enabled{false};
}  // namespace detail

namespace {

using FilePtr = CHandle<std::FILE, std::fclose>;

// Buffered events reach the file when this much has collected.
constexpr std::size_t kFlushBytes = 256 * 1024;

struct Writer {
  std::mutex mutex;
  FilePtr file;        // guarded by mutex
  std::string path;    // guarded by mutex
  std::string buffer;  // guarded by mutex
  bool first = true;   // guarded by mutex: no comma before the first event
  long pid = 0;

  // Caller holds mutex.
  void append(const Json& event) {
    buffer += first ? "[\n" : ",\n";
    first = false;
    buffer += event.dump(-1, ' ', false, Json::error_handler_t::replace);
    if (buffer.size() >= kFlushBytes) flush();
  }
  // Caller holds mutex.
  void flush() {
    if (file && !buffer.empty()) {
      std::fwrite(buffer.data(), 1, buffer.size(), file.get());
      std::fflush(file.get());
    }
    buffer.clear();
  }
};

Writer& writer() {
  static Writer* instance = new Writer;  // never destroyed: threads may record during exit
  return *instance;
}

thread_local Key currentKeyOfThread = 0;
std::atomic<std::uint32_t> keyCounter{0};

long threadId() {
  return static_cast<long>(::syscall(SYS_gettid));
}

double microseconds(Clock::time_point at) {
  return std::chrono::duration<double, std::micro>(at.time_since_epoch()).count();
}

std::string flowId(Key key) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(key));
  return text;
}

void stopAtExit() {
  stop();
}

}  // namespace

bool start(const std::string& path, const std::string& processName) {
  Writer& out = writer();
  std::lock_guard lock(out.mutex);
  if (out.file) return true;
  out.file.reset(std::fopen(path.c_str(), "we"));
  if (!out.file) {
    std::fprintf(stderr, "trace: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  out.path = path;
  out.pid = static_cast<long>(::getpid());
  out.append(Json{{"name", "process_name"},
                  {"ph", "M"},
                  {"pid", out.pid},
                  {"tid", out.pid},
                  {"args", {{"name", processName}}}});
  out.append(Json{{"name", "thread_name"},
                  {"ph", "M"},
                  {"pid", out.pid},
                  {"tid", out.pid},
                  {"args", {{"name", "main"}}}});
  static std::once_flag atExit;
  std::call_once(atExit, [] { std::atexit(stopAtExit); });
  detail::enabled.store(true, std::memory_order_relaxed);
  return true;
}

void stop() {
  Writer& out = writer();
  std::lock_guard lock(out.mutex);
  detail::enabled.store(false, std::memory_order_relaxed);
  if (!out.file) return;
  out.buffer += "\n]\n";
  out.flush();
  out.file.reset();
  out.path.clear();
  out.first = true;
}

std::string outputPath() {
  Writer& out = writer();
  std::lock_guard lock(out.mutex);
  return out.path;
}

Key newKey() {
  // Process id and a count: unique across the processes of one trace, and below 2^53
  // so that every JSON reader keeps it exact.
  auto pid = static_cast<Key>(::getpid()) & 0x3FFFFF;
  return (pid << 30) | ((keyCounter.fetch_add(1, std::memory_order_relaxed) + 1) & 0x3FFFFFFF);
}

Key currentKey() {
  return currentKeyOfThread;
}

KeyScope::KeyScope(Key key) : previous_(currentKeyOfThread) {
  currentKeyOfThread = key;
}

KeyScope::~KeyScope() {
  currentKeyOfThread = previous_;
}

namespace {

// Runs `write(out, end, tid, id)` under the writer's lock when `key`'s events are to be
// recorded: tracing is on, the file is open, and there is a message.
template <typename Write>
void record(Key key, Write write) {
  if (!enabled() || key == 0) return;
  Clock::time_point end = Clock::now();
  long tid = threadId();
  Writer& out = writer();
  std::lock_guard lock(out.mutex);
  if (out.file) write(out, end, tid, flowId(key));
}

// The members every event of a message's path has.
Json pathEvent(const Writer& out, std::string_view name, const char* phase, long tid, double at) {
  return Json{{"name", std::string(name)},
              {"cat", "message"},
              {"ph", phase},
              {"pid", out.pid},
              {"tid", tid},
              {"ts", at}};
}

}  // namespace

void slice(std::string_view stage, Clock::time_point begin, Key key, Flow flow) {
  record(key, [&](Writer& out, Clock::time_point end, long tid, const std::string& id) {
    double at = microseconds(begin);
    Json complete = pathEvent(out, stage, "X", tid, at);
    complete["dur"] = microseconds(end) - at;
    complete["args"] = {{"key", id}};
    out.append(complete);
    // The flow event binds to the slice that encloses its time on the same thread.
    Json step = pathEvent(out, "message",
                          flow == Flow::Begin ? "s"
                          : flow == Flow::End ? "f"
                                              : "t",
                          tid, at);
    step["id"] = id;
    if (flow != Flow::Begin) step["bp"] = "e";
    out.append(step);
  });
}

void asyncSlice(std::string_view stage, Clock::time_point begin, Key key) {
  record(key, [&](Writer& out, Clock::time_point end, long tid, const std::string& id) {
    for (auto [phase, at] : {std::pair{"b", begin}, std::pair{"e", end}}) {
      Json event = pathEvent(out, stage, phase, tid, microseconds(at));
      event["id"] = id;
      event["args"] = {{"key", id}};
      out.append(event);
    }
  });
}

void mark(std::string_view name) {
  if (!enabled()) return;
  double at = microseconds(Clock::now());
  long tid = threadId();
  Writer& out = writer();
  std::lock_guard lock(out.mutex);
  if (!out.file) return;
  Json event{{"name", std::string(name)},
             {"cat", "process"},
             {"ph", "i"},
             {"s", "t"},
             {"pid", out.pid},
             {"tid", tid},
             {"ts", at}};
  out.append(event);
}

Scope::Scope(std::string_view stage, Flow flow) : stage_(stage), flow_(flow) {
  if (!enabled()) return;
  key_ = currentKeyOfThread;
  begin_ = Clock::now();
}

Scope::~Scope() {
  if (key_ != 0) slice(stage_, begin_, key_, flow_);
}

std::function<void()> carried(std::function<void()> task, std::string_view stage) {
  if (!enabled() || currentKeyOfThread == 0) return task;
  return [key = currentKeyOfThread, stage, task = std::move(task)] {
    KeyScope scope(key);
    Scope slice(stage);
    task();
  };
}

void nameThread(const std::string& name) {
  if (!enabled()) return;
  Writer& out = writer();
  std::lock_guard lock(out.mutex);
  if (!out.file) return;
  out.append(Json{{"name", "thread_name"},
                  {"ph", "M"},
                  {"pid", out.pid},
                  {"tid", threadId()},
                  {"args", {{"name", name}}}});
}

}  // namespace qv::trace
