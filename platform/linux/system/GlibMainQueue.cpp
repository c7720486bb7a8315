#include "platform/linux/system/GlibMainQueue.h"

#include <glib.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

#include "platform/linux/system/Trace.h"

namespace qv {

// Times are GLib monotonic microseconds, the clock GSource ready times use.
struct GlibMainQueue::Schedule {
  using Key = std::pair<gint64, std::uint64_t>;  // (due, submission number)

  struct Entry {
    Work work;
    std::uint64_t timerId = 0;  // 0 for one-shot work
  };
  struct Timer {
    gint64 interval = 0;
    std::optional<Key> pendingKey;  // absent while its work is running
  };

  std::mutex mutex;
  GSource* source = nullptr;     // guarded by mutex; not owned, null once the queue is gone
  std::map<Key, Entry> entries;  // guarded by mutex
  std::unordered_map<std::uint64_t, Timer> timers;  // guarded by mutex
  std::uint64_t nextNumber = 1;                     // guarded by mutex
  std::uint64_t nextTimerId = 1;                    // guarded by mutex

  // Caller holds mutex.
  Key insert(gint64 due, Entry entry) {
    Key key{due, nextNumber++};
    entries.emplace(key, std::move(entry));
    updateReadyTime();
    return key;
  }

  // Caller holds mutex. The source wakes when the earliest entry falls due.
  void updateReadyTime() {
    if (source == nullptr) return;
    g_source_set_ready_time(source, entries.empty() ? -1 : entries.begin()->first.first);
  }

  void submit(gint64 due, Work work) {
    std::lock_guard lock(mutex);
    insert(due, Entry{std::move(work), 0});
  }

  std::uint64_t addTimer(gint64 interval, Work work) {
    std::lock_guard lock(mutex);
    std::uint64_t id = nextTimerId++;
    Key key = insert(g_get_monotonic_time() + interval, Entry{std::move(work), id});
    timers.emplace(id, Timer{interval, key});
    return id;
  }

  void cancelTimer(std::uint64_t id) {
    Work dropped;  // destroyed after the lock is released
    std::lock_guard lock(mutex);
    auto timer = timers.find(id);
    if (timer == timers.end()) return;
    if (timer->second.pendingKey) {
      auto entry = entries.find(*timer->second.pendingKey);
      if (entry != entries.end()) {
        dropped = std::move(entry->second.work);
        entries.erase(entry);
        updateReadyTime();
      }
    }
    timers.erase(timer);
  }

  // Runs, one at a time and in order, the entries that were due when it started.
  void dispatch() {
    gint64 now = g_get_monotonic_time();
    std::uint64_t limit = 0;
    {
      std::lock_guard lock(mutex);
      limit = nextNumber;
    }
    while (true) {
      Entry entry;
      gint64 due = 0;
      {
        std::lock_guard lock(mutex);
        auto first = entries.begin();
        if (first == entries.end() || first->first.first > now || first->first.second >= limit) {
          updateReadyTime();
          return;
        }
        due = first->first.first;
        entry = std::move(first->second);
        entries.erase(first);
        if (auto timer = timers.find(entry.timerId); timer != timers.end()) {
          timer->second.pendingKey.reset();
        }
      }
      entry.work();
      if (entry.timerId != 0) {
        std::lock_guard lock(mutex);
        auto timer = timers.find(entry.timerId);
        if (timer != timers.end()) {
          gint64 next = due + timer->second.interval;
          if (next <= now) next = now + timer->second.interval;
          timer->second.pendingKey = insert(next, std::move(entry));
        }
      }
    }
  }

  // The GSource that runs a schedule; it keeps the schedule alive.
  struct Source {
    GSource base;
    std::shared_ptr<Schedule>* schedule;
  };

  static gboolean dispatchSource(GSource* source, GSourceFunc, gpointer) {
    std::shared_ptr<Schedule> schedule = *reinterpret_cast<Source*>(source)->schedule;
    schedule->dispatch();
    return G_SOURCE_CONTINUE;
  }

  static void finalizeSource(GSource* source) {
    delete reinterpret_cast<Source*>(source)->schedule;
  }

  static GSource* newSource(const std::shared_ptr<Schedule>& schedule) {
    static GSourceFuncs funcs = {nullptr,        nullptr, dispatchSource,
                                 finalizeSource, nullptr, nullptr};
    GSource* source = g_source_new(&funcs, sizeof(Source));
    reinterpret_cast<Source*>(source)->schedule = new std::shared_ptr<Schedule>(schedule);
    schedule->source = source;
    return source;
  }

  class Handle final : public TimerHandle {
   public:
    Handle(std::shared_ptr<Schedule> schedule, std::uint64_t id)
        : schedule_(std::move(schedule)), id_(id) {}
    ~Handle() override { cancel(); }

    void cancel() override { schedule_->cancelTimer(id_); }

   private:
    std::shared_ptr<Schedule> schedule_;
    std::uint64_t id_;
  };
};

namespace {

gint64 microseconds(MainQueue::Duration duration) {
  auto milliseconds = std::max<MainQueue::Duration::rep>(duration.count(), 0);
  // Far beyond any real delay; keeps the sum with the current time from overflowing.
  constexpr MainQueue::Duration::rep kLimit = 100LL * 365 * 24 * 3600 * 1000;
  return static_cast<gint64>(std::min(milliseconds, kLimit)) * 1000;
}

}  // namespace

GlibMainQueue::GlibMainQueue()
    : context_(g_main_context_ref(g_main_context_default())),
      schedule_(std::make_shared<Schedule>()),
      homeThread_(std::this_thread::get_id()) {
  source_ = Schedule::newSource(schedule_);
  g_source_set_priority(source_, G_PRIORITY_DEFAULT);
  g_source_set_name(source_, "qv::GlibMainQueue");
  g_source_attach(source_, context_);
}

GlibMainQueue::~GlibMainQueue() {
  {
    std::lock_guard lock(schedule_->mutex);
    schedule_->source = nullptr;
  }
  g_source_destroy(source_);
  g_source_unref(source_);
  g_main_context_unref(context_);
}

void GlibMainQueue::async(Work work) {
  schedule_->submit(g_get_monotonic_time(), trace::carried(std::move(work)));
}

void GlibMainQueue::asyncAfter(Duration delay, Work work) {
  schedule_->submit(g_get_monotonic_time() + microseconds(delay), std::move(work));
}

std::unique_ptr<TimerHandle> GlibMainQueue::scheduleRepeating(Duration interval, Work work) {
  // A zero interval would spin the loop; a millisecond is the finest tick offered.
  gint64 step = std::max<gint64>(microseconds(interval), 1000);
  std::uint64_t id = schedule_->addTimer(step, std::move(work));
  return std::make_unique<Schedule::Handle>(schedule_, id);
}

bool GlibMainQueue::isMainThread() const {
  if (g_main_context_is_owner(context_)) return true;
  if (std::this_thread::get_id() != homeThread_) return false;
  // Not iterating right now: still the main thread unless another thread owns the context.
  if (!g_main_context_acquire(context_)) return false;
  g_main_context_release(context_);
  return true;
}

}  // namespace qv
