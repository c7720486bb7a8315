#include "platform/linux/store/SqliteUserDefaults.h"

#include <fcntl.h>
#include <poll.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>

#include "platform/linux/system/XdgPaths.h"

namespace qv {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Waits of this length let a writer in another process finish a long fsync.
constexpr int kBusyTimeoutMs = 10000;
// How often data_version is checked when no file event arrives: covers lost events.
constexpr milliseconds kFallbackPoll{1000};
// Without inotify (watch limit reached) polling is the only signal.
constexpr milliseconds kPollWithoutInotify{50};
// A WAL commit writes its frames (raising file events) before it becomes visible to
// readers, so after an event data_version is re-checked with growing gaps for a while.
constexpr milliseconds kSettleWindow{250};
constexpr milliseconds kSettleMaxGap{16};

constexpr const char* kFileName = "defaults.sqlite3";

constexpr const char* kCreateTable = R"sql(CREATE TABLE IF NOT EXISTS defaults (
  key   TEXT PRIMARY KEY NOT NULL,
  type  TEXT NOT NULL CHECK (type IN ('data','string','bool','integer','real','date')),
  value ANY NOT NULL
))sql";

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;

struct StmtFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Resets a cached statement at scope end, so no statement keeps a read transaction open.
class StmtUse {
 public:
  explicit StmtUse(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~StmtUse() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  StmtUse(const StmtUse&) = delete;
  StmtUse& operator=(const StmtUse&) = delete;

 private:
  sqlite3_stmt* stmt_;
};

bool exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

Stmt prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return nullptr;
  }
  return Stmt(stmt);
}

// The mutex in our objects serialises each connection, so SQLite's own is not needed.
Db openConnection(const std::string& path, bool create) {
  sqlite3* raw = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  Db db(raw);
  if (rc != SQLITE_OK) return nullptr;
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  return db;
}

void bindText(sqlite3_stmt* stmt, int index, const std::string& text) {
  sqlite3_bind_text64(stmt, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

// A null pointer would bind NULL; an empty blob needs a non-null one.
void bindBlob(sqlite3_stmt* stmt, int index, const void* data, std::size_t size) {
  static const char kEmpty = 0;
  sqlite3_bind_blob64(stmt, index, size == 0 ? &kEmpty : data, size, SQLITE_TRANSIENT);
}

// A row as SQLite holds it: declared type plus the stored value in its storage class.
// Snapshots compare these, so a change of storage class alone also counts as a change.
struct StoredRow {
  std::string type;
  int storage = SQLITE_NULL;
  std::int64_t integer = 0;
  double real = 0;
  std::string bytes;  // TEXT or BLOB content

  bool operator==(const StoredRow&) const = default;
};

StoredRow storedRow(sqlite3_stmt* stmt, int typeColumn, int valueColumn) {
  StoredRow row;
  if (const unsigned char* type = sqlite3_column_text(stmt, typeColumn)) {
    row.type = reinterpret_cast<const char*>(type);
  }
  row.storage = sqlite3_column_type(stmt, valueColumn);
  switch (row.storage) {
    case SQLITE_INTEGER:
      row.integer = sqlite3_column_int64(stmt, valueColumn);
      break;
    case SQLITE_FLOAT:
      row.real = sqlite3_column_double(stmt, valueColumn);
      break;
    case SQLITE_TEXT: {
      const unsigned char* text = sqlite3_column_text(stmt, valueColumn);
      int size = sqlite3_column_bytes(stmt, valueColumn);
      if (text != nullptr) row.bytes.assign(reinterpret_cast<const char*>(text), size);
      break;
    }
    case SQLITE_BLOB: {
      const void* blob = sqlite3_column_blob(stmt, valueColumn);
      int size = sqlite3_column_bytes(stmt, valueColumn);
      if (blob != nullptr) row.bytes.assign(static_cast<const char*>(blob), size);
      break;
    }
    default:
      break;
  }
  return row;
}

std::string shortestText(double value) {
  std::array<char, 32> buffer{};
  auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  if (ec != std::errc()) return {};
  return std::string(buffer.data(), end);
}

std::optional<double> asNumber(const StoredRow& row) {
  if (row.storage == SQLITE_FLOAT) return row.real;
  if (row.storage == SQLITE_INTEGER) return static_cast<double>(row.integer);
  return std::nullopt;
}

// The lenient reading rules are listed in the header.
std::optional<UserDefaults::Value> decode(const StoredRow& row) {
  using Value = UserDefaults::Value;
  const bool textual = row.storage == SQLITE_TEXT || row.storage == SQLITE_BLOB;
  if (row.type == "data") {
    if (textual) return Value(toBytes(row.bytes));
    return std::nullopt;
  }
  if (row.type == "string") {
    std::string text;
    if (textual) {
      text = row.bytes;
    } else if (row.storage == SQLITE_INTEGER) {
      text = std::to_string(row.integer);
    } else if (row.storage == SQLITE_FLOAT) {
      text = shortestText(row.real);
    } else {
      return std::nullopt;
    }
    // Built in place: a temporary variant here trips a GCC 12 -O3 false positive
    // (-Wfree-nonheap-object).
    return std::optional<Value>(std::in_place, std::in_place_type<std::string>, std::move(text));
  }
  if (row.type == "bool") {
    std::optional<double> number = asNumber(row);
    if (number && (*number == 0 || *number == 1)) return Value(*number == 1);
    return std::nullopt;
  }
  if (row.type == "integer") {
    if (row.storage == SQLITE_INTEGER) return Value(row.integer);
    // 2^63 is exactly representable; every integral double below it fits.
    constexpr double kLimit = 9223372036854775808.0;
    if (row.storage == SQLITE_FLOAT && std::trunc(row.real) == row.real && row.real >= -kLimit &&
        row.real < kLimit) {
      return Value(static_cast<std::int64_t>(row.real));
    }
    return std::nullopt;
  }
  if (row.type == "real" || row.type == "date") {
    std::optional<double> number = asNumber(row);
    if (!number) return std::nullopt;
    if (row.type == "real") return Value(*number);
    return Value(Date{*number});
  }
  return std::nullopt;
}

const char* typeName(const UserDefaults::Value& value) {
  static constexpr std::array<const char*, 6> kNames = {"data",    "string", "bool",
                                                        "integer", "real",   "date"};
  return kNames[value.index()];
}

bool isPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

std::string directoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string fileNameOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

struct SqliteUserDefaults::Core {
  struct Subscriber {
    explicit Subscriber(std::function<void()> callback) : onChange(std::move(callback)) {}
    std::function<void()> onChange;
    bool active = true;  // guarded by Registry::mutex
  };

  struct KeyWatch {
    std::optional<StoredRow> snapshot;  // the row as last seen; absent when no row
    std::vector<std::shared_ptr<Subscriber>> subscribers;
  };

  // The state subscriptions share with the watcher. Subscriptions keep it alive, so they
  // may outlive the store.
  struct Registry {
    std::mutex mutex;
    std::condition_variable callbackDone;
    std::map<std::string, KeyWatch> keys;
    std::set<std::string> localWrites;  // subscribed keys written here, not yet notified
    bool rescan = true;                 // a key was added: compare all, whatever data_version
    bool stopping = false;
    const Subscriber* running = nullptr;  // whose callback the watcher is in
    std::thread::id watcherThread;
    int wakeFd = -1;  // the watcher's eventfd while it runs

    void wake() const {
      if (wakeFd < 0) return;
      std::uint64_t one = 1;
      // A full counter still wakes the watcher, so a failed write loses nothing.
      [[maybe_unused]] ssize_t written = write(wakeFd, &one, sizeof one);
    }
  };

  class KeySubscription final : public Subscription {
   public:
    KeySubscription(std::shared_ptr<Registry> registry, std::string key,
                    std::shared_ptr<Subscriber> subscriber)
        : registry_(std::move(registry)),
          key_(std::move(key)),
          subscriber_(std::move(subscriber)) {}

    ~KeySubscription() override {
      std::function<void()> released;  // destroyed after the lock is let go
      std::unique_lock lock(registry_->mutex);
      subscriber_->active = false;
      if (auto it = registry_->keys.find(key_); it != registry_->keys.end()) {
        auto& list = it->second.subscribers;
        list.erase(std::remove(list.begin(), list.end(), subscriber_), list.end());
        if (list.empty()) registry_->keys.erase(it);
      }
      // On the watcher thread we are inside a callback (maybe our own): waiting for the
      // callback to end would deadlock, and no other callback can be running.
      if (std::this_thread::get_id() == registry_->watcherThread) return;
      registry_->callbackDone.wait(lock, [&] { return registry_->running != subscriber_.get(); });
      // The watcher may still hold the Subscriber; the callback's captures die here, now.
      released = std::move(subscriber_->onChange);
    }

   private:
    std::shared_ptr<Registry> registry_;
    std::string key_;
    std::shared_ptr<Subscriber> subscriber_;
  };

  explicit Core(std::string databasePath)
      : path(std::move(databasePath)),
        walPath(path + "-wal"),
        directory(directoryOf(path)),
        fileName(fileNameOf(path)) {}

  ~Core() {
    // The thread has been joined or has finished by the time the last owner lets go.
    if (watcher.joinable()) watcher.detach();
  }

  const std::string path;
  const std::string walPath;
  const std::string directory;
  const std::string fileName;

  // The connection every method reads and writes through.
  std::mutex dbMutex;
  Db db;
  Stmt selectOne;
  Stmt selectAll;
  Stmt upsert;
  Stmt keepStringExact;
  Stmt remove;

  std::shared_ptr<Registry> registry = std::make_shared<Registry>();

  // Started by the first subscription. The fds and the connection below are created
  // before the thread starts and used only by it until the Core dies.
  std::mutex watcherMutex;
  std::thread watcher;
  UniqueFd wakeFd;
  UniqueFd inotifyFd;
  Db watchDb;
  Stmt watchDataVersion;
  Stmt watchSelectOne;

  bool openWriter() {
    db = openConnection(path, true);
    if (!db) return false;
    Stmt journal = prepare(db.get(), "PRAGMA journal_mode=WAL");
    if (!journal || sqlite3_step(journal.get()) != SQLITE_ROW) return false;
    const unsigned char* mode = sqlite3_column_text(journal.get(), 0);
    if (mode == nullptr || strcasecmp(reinterpret_cast<const char*>(mode), "wal") != 0) {
      return false;
    }
    journal.reset();
    if (!exec(db.get(), "PRAGMA synchronous=FULL") || !exec(db.get(), kCreateTable)) return false;
    selectOne = prepare(db.get(), "SELECT type, value FROM defaults WHERE key = ?1");
    selectAll = prepare(db.get(), "SELECT key, type, value FROM defaults ORDER BY key");
    upsert =
        prepare(db.get(),
                "INSERT INTO defaults (key, type, value) VALUES (?1, ?2, ?3) "
                "ON CONFLICT (key) DO UPDATE SET type = excluded.type, value = excluded.value");
    // Numeric affinity turns text like "0123" into a number; keep such strings as bytes.
    keepStringExact = prepare(
        db.get(), "UPDATE defaults SET value = ?2 WHERE key = ?1 AND typeof(value) <> 'text'");
    remove = prepare(db.get(), "DELETE FROM defaults WHERE key = ?1");
    return selectOne && selectAll && upsert && keepStringExact && remove;
  }

  // Reads `key` with `stmt` (a selectOne on some connection). False on a database error;
  // otherwise `row` holds the row, or absent when there is none.
  static bool readStored(sqlite3_stmt* stmt, const std::string& key,
                         std::optional<StoredRow>& row) {
    StmtUse use(stmt);
    bindText(stmt, 1, key);
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
      row = storedRow(stmt, 0, 1);
      return true;
    }
    row.reset();
    return rc == SQLITE_DONE;
  }

  void bindValue(const std::string& key, const UserDefaults::Value& value) {
    sqlite3_stmt* stmt = upsert.get();
    bindText(stmt, 1, key);
    sqlite3_bind_text(stmt, 2, typeName(value), -1, SQLITE_STATIC);
    std::visit(
        [&](const auto& typed) {
          using T = std::decay_t<decltype(typed)>;
          if constexpr (std::is_same_v<T, Bytes>) {
            bindBlob(stmt, 3, typed.data(), typed.size());
          } else if constexpr (std::is_same_v<T, std::string>) {
            bindText(stmt, 3, typed);
          } else if constexpr (std::is_same_v<T, bool>) {
            sqlite3_bind_int64(stmt, 3, typed ? 1 : 0);
          } else if constexpr (std::is_same_v<T, std::int64_t>) {
            sqlite3_bind_int64(stmt, 3, typed);
          } else if constexpr (std::is_same_v<T, double>) {
            sqlite3_bind_double(stmt, 3, typed);  // NaN binds NULL and fails NOT NULL
          } else {
            sqlite3_bind_double(stmt, 3, typed.secondsSince1970);
          }
        },
        value);
  }

  bool writeRow(const std::string& key, const std::optional<UserDefaults::Value>& value) {
    // IMMEDIATE takes the write lock up front, where the busy timeout applies.
    if (!exec(db.get(), "BEGIN IMMEDIATE")) return false;
    bool ok = true;
    if (value) {
      StmtUse use(upsert.get());
      bindValue(key, *value);
      ok = sqlite3_step(upsert.get()) == SQLITE_DONE;
      if (ok && std::holds_alternative<std::string>(*value)) {
        const std::string& text = std::get<std::string>(*value);
        StmtUse keep(keepStringExact.get());
        bindText(keepStringExact.get(), 1, key);
        bindBlob(keepStringExact.get(), 2, text.data(), text.size());
        ok = sqlite3_step(keepStringExact.get()) == SQLITE_DONE;
      }
    } else {
      StmtUse use(remove.get());
      bindText(remove.get(), 1, key);
      ok = sqlite3_step(remove.get()) == SQLITE_DONE;
    }
    if (ok) ok = exec(db.get(), "COMMIT");
    if (!ok && !sqlite3_get_autocommit(db.get())) exec(db.get(), "ROLLBACK");
    return ok;
  }

  // Starts the watcher unless it runs. False when it cannot be started.
  static bool ensureWatcher(const std::shared_ptr<Core>& core) {
    std::lock_guard lock(core->watcherMutex);
    if (core->watcher.joinable()) return true;
    Db watchDb = openConnection(core->path, false);
    if (!watchDb) return false;
    Stmt dataVersion = prepare(watchDb.get(), "PRAGMA data_version");
    Stmt select = prepare(watchDb.get(), "SELECT type, value FROM defaults WHERE key = ?1");
    UniqueFd wake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!dataVersion || !select || !wake.valid()) return false;
    // Without inotify (instance or watch limit reached) the watcher still polls.
    UniqueFd notify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    constexpr std::uint32_t kEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE |
                                      IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
    if (notify.valid() && inotify_add_watch(notify.get(), core->directory.c_str(), kEvents) < 0) {
      notify.reset();
    }
    core->watchDb = std::move(watchDb);
    core->watchDataVersion = std::move(dataVersion);
    core->watchSelectOne = std::move(select);
    core->wakeFd = std::move(wake);
    core->inotifyFd = std::move(notify);
    {
      std::lock_guard registryLock(core->registry->mutex);
      core->registry->wakeFd = core->wakeFd.get();
    }
    try {
      core->watcher = std::thread([core] { core->watchLoop(); });
    } catch (const std::system_error&) {
      std::lock_guard registryLock(core->registry->mutex);
      core->registry->wakeFd = -1;
      return false;
    }
    return true;
  }

  void stopWatcher() {
    {
      std::lock_guard lock(registry->mutex);
      registry->stopping = true;
      registry->wake();
    }
    std::thread thread;
    {
      std::lock_guard lock(watcherMutex);
      thread = std::move(watcher);
    }
    if (!thread.joinable()) return;
    // From inside a callback: the watcher sees `stopping` once the callback returns and
    // exits; its own reference keeps this Core alive until then.
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
      return;
    }
    thread.join();
    std::lock_guard lock(registry->mutex);
    registry->wakeFd = -1;
  }

  void watchLoop() {
    {
      std::lock_guard lock(registry->mutex);
      registry->watcherThread = std::this_thread::get_id();
    }
    const milliseconds idlePoll = inotifyFd.valid() ? kFallbackPoll : kPollWithoutInotify;
    std::optional<std::int64_t> lastVersion;
    Clock::time_point settleUntil;
    milliseconds settleGap{1};
    for (;;) {
      const bool settling = Clock::now() < settleUntil;
      std::array<pollfd, 2> fds{{{wakeFd.get(), POLLIN, 0}, {inotifyFd.get(), POLLIN, 0}}};
      int timeout = static_cast<int>(settling ? settleGap.count() : idlePoll.count());
      if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
        // Nothing sensible to do but keep polling; sleep so that this never spins.
        std::this_thread::sleep_for(idlePoll);
      }
      if (fds[0].revents & POLLIN) {
        std::uint64_t count = 0;
        [[maybe_unused]] ssize_t got = read(wakeFd.get(), &count, sizeof count);
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
        std::lock_guard lock(registry->mutex);
        if (registry->stopping) return;
        changed.swap(registry->localWrites);
        rescan = std::exchange(registry->rescan, false);
      }
      collectChanges(lastVersion, rescan, changed);
      dispatch(changed);
    }
  }

  // Reads the pending inotify events; true when one concerns the database files.
  bool drainFileEvents() {
    bool relevant = false;
    alignas(inotify_event) std::array<char, 4096> buffer{};
    for (;;) {
      ssize_t size = read(inotifyFd.get(), buffer.data(), buffer.size());
      if (size <= 0) break;
      for (ssize_t offset = 0; offset < size;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
        if ((event->mask & IN_Q_OVERFLOW) || event->len == 0 ||
            std::strncmp(event->name, fileName.c_str(), fileName.size()) == 0) {
          relevant = true;
        }
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return relevant;
  }

  std::optional<std::int64_t> dataVersion() {
    sqlite3_stmt* stmt = watchDataVersion.get();
    StmtUse use(stmt);
    if (sqlite3_step(stmt) != SQLITE_ROW) return std::nullopt;
    return sqlite3_column_int64(stmt, 0);
  }

  // Adds to `changed` every subscribed key whose row differs from its snapshot, when
  // another connection committed since the last look (or `rescan` asks for a look).
  void collectChanges(std::optional<std::int64_t>& lastVersion, bool rescan,
                      std::set<std::string>& changed) {
    std::optional<std::int64_t> version = dataVersion();
    if (!rescan && version && version == lastVersion) return;
    std::vector<std::string> keys;
    {
      std::lock_guard lock(registry->mutex);
      for (const auto& entry : registry->keys) keys.push_back(entry.first);
    }
    std::vector<std::optional<StoredRow>> rows(keys.size());
    // One read transaction: the keys are compared against one consistent state.
    if (!keys.empty()) {
      bool ok = exec(watchDb.get(), "BEGIN");
      for (std::size_t i = 0; ok && i < keys.size(); ++i) {
        ok = readStored(watchSelectOne.get(), keys[i], rows[i]);
      }
      if (!sqlite3_get_autocommit(watchDb.get())) exec(watchDb.get(), "COMMIT");
      // Leave lastVersion alone so that the next wake-up tries again.
      if (!ok) {
        if (rescan) {
          std::lock_guard lock(registry->mutex);
          registry->rescan = true;
        }
        return;
      }
    }
    lastVersion = version;
    std::lock_guard lock(registry->mutex);
    for (std::size_t i = 0; i < keys.size(); ++i) {
      auto it = registry->keys.find(keys[i]);
      if (it == registry->keys.end() || it->second.snapshot == rows[i]) continue;
      it->second.snapshot = std::move(rows[i]);
      changed.insert(keys[i]);
    }
  }

  void dispatch(const std::set<std::string>& changed) {
    for (const std::string& key : changed) {
      std::vector<std::shared_ptr<Subscriber>> subscribers;
      {
        std::lock_guard lock(registry->mutex);
        auto it = registry->keys.find(key);
        if (it == registry->keys.end()) continue;
        subscribers = it->second.subscribers;
      }
      // The copies keep each callback alive even if its subscription is destroyed inside.
      for (const auto& subscriber : subscribers) {
        {
          std::lock_guard lock(registry->mutex);
          if (registry->stopping) return;
          if (!subscriber->active) continue;
          registry->running = subscriber.get();
        }
        try {
          subscriber->onChange();
        } catch (...) {
          // A throwing subscriber must not take the watcher (and every other one) down.
        }
        {
          std::lock_guard lock(registry->mutex);
          registry->running = nullptr;
        }
        registry->callbackDone.notify_all();
      }
    }
  }

  // A commit's last file write comes before it is visible; an attribute change after it
  // gives watchers in other processes an event they can act on at once.
  void announceCommit() const { utimensat(AT_FDCWD, walPath.c_str(), nullptr, 0); }
};

SqliteUserDefaults::SqliteUserDefaults(std::shared_ptr<Core> core) : core_(std::move(core)) {}

SqliteUserDefaults::~SqliteUserDefaults() {
  core_->stopWatcher();
}

std::shared_ptr<SqliteUserDefaults> SqliteUserDefaults::open(const std::string& databasePath) {
  if (!xdg::makeDirectories(directoryOf(databasePath), 0700)) return nullptr;
  auto core = std::make_shared<Core>(databasePath);
  if (!core->openWriter()) return nullptr;
  return std::shared_ptr<SqliteUserDefaults>(new SqliteUserDefaults(std::move(core)));
}

const std::string& SqliteUserDefaults::path() const {
  return core_->path;
}

std::optional<UserDefaults::Value> SqliteUserDefaults::object(const std::string& key) {
  std::optional<StoredRow> row;
  {
    std::lock_guard lock(core_->dbMutex);
    if (!Core::readStored(core_->selectOne.get(), key, row)) return std::nullopt;
  }
  if (!row) return std::nullopt;
  return decode(*row);
}

bool SqliteUserDefaults::set(const std::string& key, const std::optional<Value>& value) {
  {
    std::lock_guard lock(core_->dbMutex);
    if (!core_->writeRow(key, value)) return false;
  }
  core_->announceCommit();
  std::lock_guard lock(core_->registry->mutex);
  // Notified even if the row compares equal by the time the watcher looks (A -> B -> A).
  if (core_->registry->keys.count(key) != 0) {
    core_->registry->localWrites.insert(key);
    core_->registry->wake();
  }
  return true;
}

std::vector<std::pair<std::string, UserDefaults::Value>> SqliteUserDefaults::all() {
  std::vector<std::pair<std::string, Value>> result;
  std::lock_guard lock(core_->dbMutex);
  sqlite3_stmt* stmt = core_->selectAll.get();
  StmtUse use(stmt);
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    const unsigned char* key = sqlite3_column_text(stmt, 0);
    int keySize = sqlite3_column_bytes(stmt, 0);
    std::optional<Value> value = decode(storedRow(stmt, 1, 2));
    if (key == nullptr || !value) continue;
    result.emplace_back(std::string(reinterpret_cast<const char*>(key), keySize),
                        std::move(*value));
  }
  return result;
}

std::unique_ptr<Subscription> SqliteUserDefaults::subscribe(const std::string& key,
                                                            std::function<void()> onChange) {
  // The snapshot is taken now, so a change committed right after subscribe returns is
  // seen as a change even if the watcher has not looked at this key yet.
  std::optional<StoredRow> snapshot;
  {
    std::lock_guard lock(core_->dbMutex);
    Core::readStored(core_->selectOne.get(), key, snapshot);
  }
  Core::ensureWatcher(core_);
  auto subscriber = std::make_shared<Core::Subscriber>(std::move(onChange));
  // Nothing of this store is touched after the lock is released: from then on a
  // callback may destroy it.
  std::shared_ptr<Core::Registry> registry = core_->registry;
  {
    std::lock_guard lock(registry->mutex);
    Core::KeyWatch& watch = registry->keys[key];
    if (watch.subscribers.empty()) watch.snapshot = std::move(snapshot);
    watch.subscribers.push_back(subscriber);
    registry->rescan = true;
    registry->wake();
  }
  return std::make_unique<Core::KeySubscription>(std::move(registry), key, std::move(subscriber));
}

namespace {

// One store per database file in this process, across factories.
struct StoreCache {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<SqliteUserDefaults>> stores;
};

StoreCache& storeCache() {
  // Never destroyed: stores may still be released during static destruction.
  static auto* cache = new StoreCache;
  return *cache;
}

}  // namespace

LinuxUserDefaultsFactory::LinuxUserDefaultsFactory(std::optional<std::string> configHome)
    : configHome_(configHome ? std::move(*configHome) : xdg::configHome()) {}

std::optional<std::string> LinuxUserDefaultsFactory::suitePath(const std::string& name) const {
  if (configHome_.empty() || !isPlainName(name)) return std::nullopt;
  return configHome_ + "/group-containers/" + name + "/" + kFileName;
}

std::optional<std::string> LinuxUserDefaultsFactory::standardPath(
    const std::string& bundleIdentifier) const {
  if (configHome_.empty() || !isPlainName(bundleIdentifier)) return std::nullopt;
  return configHome_ + "/" + bundleIdentifier + "/" + kFileName;
}

std::shared_ptr<UserDefaults> LinuxUserDefaultsFactory::suite(const std::string& name) {
  return openShared(suitePath(name));
}

std::shared_ptr<UserDefaults> LinuxUserDefaultsFactory::standard(
    const std::string& bundleIdentifier) {
  return openShared(standardPath(bundleIdentifier));
}

std::shared_ptr<UserDefaults> LinuxUserDefaultsFactory::openShared(
    const std::optional<std::string>& path) {
  if (!path) return nullptr;
  const std::string directory = directoryOf(*path);
  if (!xdg::makeDirectories(directory, 0700)) return nullptr;
  // Different spellings of one directory must still share one store.
  char* resolved = realpath(directory.c_str(), nullptr);
  if (resolved == nullptr) return nullptr;
  std::string canonical = std::string(resolved) + "/" + fileNameOf(*path);
  std::free(resolved);

  StoreCache& cache = storeCache();
  std::lock_guard lock(cache.mutex);
  std::erase_if(cache.stores, [](const auto& entry) { return entry.second.expired(); });
  if (auto existing = cache.stores[canonical].lock()) return existing;
  std::shared_ptr<SqliteUserDefaults> store = SqliteUserDefaults::open(canonical);
  if (store) {
    cache.stores[canonical] = store;
  } else {
    cache.stores.erase(canonical);
  }
  return store;
}

}  // namespace qv
