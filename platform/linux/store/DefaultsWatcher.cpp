#include "platform/linux/store/DefaultsWatcher.h"

#include <poll.h>
#include <sqlite3.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/linux/system/Files.h"

namespace qv::defaults {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often data_version is checked when no file event arrives: covers lost events
// (an overflowing event queue, say). Long, because each check wakes an idle process.
constexpr milliseconds kFallbackPoll{5000};
// Without inotify (watch limit reached) polling is the only signal.
constexpr milliseconds kPollWithoutInotify{50};
// A WAL commit writes its frames (raising file events) before it becomes visible to
// readers, so after an event data_version is re-checked with growing gaps for a while.
constexpr milliseconds kSettleWindow{250};
constexpr milliseconds kSettleMaxGap{16};

}  // namespace

Watcher::Watcher(std::string databasePath, int busyTimeoutMs)
    : path_(std::move(databasePath)),
      directory_(files::directoryOf(path_)),
      fileName_(files::fileNameOf(path_)),
      busyTimeoutMs_(busyTimeoutMs) {}

Watcher::~Watcher() {
  // The thread has been joined or has finished by the time the last owner lets go.
  if (thread_.joinable()) thread_.detach();
}

std::unique_ptr<Subscription> Watcher::subscribe(const std::string& key,
                                                 std::optional<StoredRow> snapshot,
                                                 std::function<void()> onChange) {
  ensureRunning();
  auto subscriber = std::make_shared<Subscriber>(std::move(onChange));
  std::shared_ptr<Registry> registry = registry_;
  {
    std::lock_guard lock(registry->mutex);
    KeyWatch& watch = registry->keys[key];
    if (watch.subscribers.empty()) watch.snapshot = std::move(snapshot);
    watch.subscribers.push_back(subscriber);
    registry->rescan = true;
    registry->wake();
  }
  return std::make_unique<KeySubscription>(std::move(registry), key, std::move(subscriber));
}

void Watcher::noteLocalWrite(const std::string& key) {
  std::lock_guard lock(registry_->mutex);
  if (registry_->keys.count(key) != 0) {
    registry_->localWrites.insert(key);
    registry_->wake();
  }
}

bool Watcher::openConnection() {
  files::FileIdentity identity = files::identityOf(path_);
  sqlite::Connection db = sqlite::open(path_, /*create=*/false, busyTimeoutMs_);
  if (!db) return false;
  sqlite::Statement dataVersion =
      sqlite::prepare(db.get(), "PRAGMA data_version", sqlite::Lifetime::persistent);
  sqlite::Statement select = sqlite::prepare(db.get(), kSelectRowSql, sqlite::Lifetime::persistent);
  if (!dataVersion || !select) return false;
  // Statements go before the connection they belong to.
  selectRow_.reset();
  dataVersion_.reset();
  db_ = std::move(db);
  dataVersion_ = std::move(dataVersion);
  selectRow_ = std::move(select);
  openedFile_ = identity;
  return true;
}

void Watcher::followReplacedFile(bool& rescan) {
  files::FileIdentity current = files::identityOf(path_);
  if (!current.exists() || current == openedFile_) return;
  // Every key is compared again: the new file may hold none of the old rows.
  if (openConnection()) rescan = true;
}

bool Watcher::ensureRunning() {
  std::lock_guard lock(threadMutex_);
  if (thread_.joinable()) return true;
  UniqueFd wake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wake.valid() || !openConnection()) return false;
  // Without inotify (instance or watch limit reached) the watcher still polls.
  UniqueFd notify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  constexpr std::uint32_t kEvents =
      IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
  if (notify.valid() && inotify_add_watch(notify.get(), directory_.c_str(), kEvents) < 0) {
    notify.reset();
  }
  wakeFd_ = std::move(wake);
  inotifyFd_ = std::move(notify);
  {
    std::lock_guard registryLock(registry_->mutex);
    registry_->wakeFd = wakeFd_.get();
  }
  try {
    thread_ = std::thread([self = shared_from_this()] { self->run(); });
  } catch (const std::system_error&) {
    std::lock_guard registryLock(registry_->mutex);
    registry_->wakeFd = -1;
    return false;
  }
  return true;
}

void Watcher::stop() {
  {
    std::lock_guard lock(registry_->mutex);
    registry_->stopping = true;
    registry_->wake();
  }
  std::thread thread;
  {
    std::lock_guard lock(threadMutex_);
    thread = std::move(thread_);
  }
  if (!thread.joinable()) return;
  // From inside a callback: the thread sees `stopping` once the callback returns and
  // exits; its own reference keeps this watcher alive until then.
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
    return;
  }
  thread.join();
  std::lock_guard lock(registry_->mutex);
  registry_->wakeFd = -1;
}

void Watcher::run() {
  {
    std::lock_guard lock(registry_->mutex);
    registry_->watcherThread = std::this_thread::get_id();
  }
  const milliseconds idlePoll = inotifyFd_.valid() ? kFallbackPoll : kPollWithoutInotify;
  std::optional<std::int64_t> lastVersion;
  Clock::time_point settleUntil;
  milliseconds settleGap{1};
  for (;;) {
    const bool settling = Clock::now() < settleUntil;
    std::array<pollfd, 2> fds{{{wakeFd_.get(), POLLIN, 0}, {inotifyFd_.get(), POLLIN, 0}}};
    int timeout = static_cast<int>(settling ? settleGap.count() : idlePoll.count());
    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
      // Nothing sensible to do but keep polling; sleep so that this never spins.
      std::this_thread::sleep_for(idlePoll);
    }
    if (fds[0].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] ssize_t got = read(wakeFd_.get(), &count, sizeof count);
    }
    if ((fds[1].revents & POLLIN) && drainFileEvents()) {
      settleUntil = Clock::now() + kSettleWindow;
      settleGap = milliseconds{1};
    } else if (settling) {
      settleGap = std::min(settleGap * 2, kSettleMaxGap);
    }

    std::set<std::string> changed;
    bool rescan = false;
    {
      std::lock_guard lock(registry_->mutex);
      if (registry_->stopping) return;
      changed.swap(registry_->localWrites);
      rescan = std::exchange(registry_->rescan, false);
    }
    followReplacedFile(rescan);
    collectChanges(lastVersion, rescan, changed);
    dispatch(changed);
  }
}

bool Watcher::drainFileEvents() {
  bool relevant = false;
  alignas(inotify_event) std::array<char, 4096> buffer{};
  for (;;) {
    ssize_t size = read(inotifyFd_.get(), buffer.data(), buffer.size());
    if (size <= 0) break;
    for (ssize_t offset = 0; offset < size;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
      // A prefix match also covers the -wal and -shm files.
      if ((event->mask & IN_Q_OVERFLOW) || event->len == 0 ||
          std::strncmp(event->name, fileName_.c_str(), fileName_.size()) == 0) {
        relevant = true;
      }
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return relevant;
}

std::optional<std::int64_t> Watcher::dataVersion() {
  sqlite3_stmt* stmt = dataVersion_.get();
  sqlite::StatementReset reset(stmt);
  if (sqlite3_step(stmt) != SQLITE_ROW) return std::nullopt;
  return sqlite3_column_int64(stmt, 0);
}

// Adds to `changed` every subscribed key whose row differs from its snapshot, when
// another connection committed since the last look (or `rescan` asks for a look).
void Watcher::collectChanges(std::optional<std::int64_t>& lastVersion, bool rescan,
                             std::set<std::string>& changed) {
  std::optional<std::int64_t> version = dataVersion();
  if (!rescan && version && version == lastVersion) return;
  std::vector<std::string> keys;
  {
    std::lock_guard lock(registry_->mutex);
    for (const auto& entry : registry_->keys) keys.push_back(entry.first);
  }
  std::vector<std::optional<StoredRow>> rows(keys.size());
  // One read transaction: the keys are compared against one consistent state.
  if (!keys.empty()) {
    bool ok = sqlite::exec(db_.get(), "BEGIN");
    for (std::size_t i = 0; ok && i < keys.size(); ++i) {
      ok = readRow(selectRow_.get(), keys[i], rows[i]);
    }
    if (!sqlite3_get_autocommit(db_.get())) sqlite::exec(db_.get(), "COMMIT");
    // Leave lastVersion alone so that the next wake-up tries again.
    if (!ok) {
      if (rescan) {
        std::lock_guard lock(registry_->mutex);
        registry_->rescan = true;
      }
      return;
    }
  }
  lastVersion = version;
  std::lock_guard lock(registry_->mutex);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    auto it = registry_->keys.find(keys[i]);
    if (it == registry_->keys.end() || it->second.snapshot == rows[i]) continue;
    it->second.snapshot = std::move(rows[i]);
    changed.insert(keys[i]);
  }
}

void Watcher::dispatch(const std::set<std::string>& changed) {
  for (const std::string& key : changed) {
    std::vector<std::shared_ptr<Subscriber>> subscribers;
    {
      std::lock_guard lock(registry_->mutex);
      auto it = registry_->keys.find(key);
      if (it == registry_->keys.end()) continue;
      subscribers = it->second.subscribers;
    }
    // The copies keep each callback alive even if its subscription is destroyed inside.
    for (const auto& subscriber : subscribers) {
      {
        std::lock_guard lock(registry_->mutex);
        if (registry_->stopping) return;
        if (!subscriber->active) continue;
        registry_->running = subscriber.get();
      }
      try {
        subscriber->onChange();
      } catch (...) {
        // A throwing subscriber must not take the watcher (and every other one) down.
      }
      {
        std::lock_guard lock(registry_->mutex);
        registry_->running = nullptr;
      }
      registry_->callbackDone.notify_all();
    }
  }
}

}  // namespace qv::defaults
