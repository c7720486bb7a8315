#include "platform/linux/store/SqliteUserDefaults.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/stat.h>

#include "platform/linux/store/DefaultsCodec.h"
#include "platform/linux/store/DefaultsWatcher.h"
#include "platform/linux/system/Files.h"
#include "platform/linux/system/XdgPaths.h"

namespace qv {
namespace {

// Waits of this length let a writer in another process finish a long fsync.
constexpr int kBusyTimeoutMs = 10000;

}  // namespace

SqliteUserDefaults::SqliteUserDefaults(std::string databasePath)
    : path_(std::move(databasePath)),
      walPath_(path_ + "-wal"),
      watcher_(std::make_shared<defaults::Watcher>(path_, kBusyTimeoutMs)) {}

SqliteUserDefaults::~SqliteUserDefaults() {
  watcher_->stop();
}

std::shared_ptr<SqliteUserDefaults> SqliteUserDefaults::open(const std::string& databasePath) {
  if (!xdg::makeDirectories(files::directoryOf(databasePath), 0700)) return nullptr;
  std::shared_ptr<SqliteUserDefaults> store(new SqliteUserDefaults(databasePath));
  if (!store->openWriter()) return nullptr;
  return store;
}

const std::string& SqliteUserDefaults::path() const {
  return path_;
}

bool SqliteUserDefaults::openWriter() {
  using sqlite::Lifetime;
  db_ = sqlite::open(path_, /*create=*/true, kBusyTimeoutMs);
  if (!db_) return false;
  sqlite3* db = db_.get();
  sqlite::Statement journal = sqlite::prepare(db, "PRAGMA journal_mode=WAL", Lifetime::persistent);
  if (!journal || sqlite3_step(journal.get()) != SQLITE_ROW) return false;
  const unsigned char* mode = sqlite3_column_text(journal.get(), 0);
  if (mode == nullptr || strcasecmp(reinterpret_cast<const char*>(mode), "wal") != 0) {
    return false;
  }
  journal.reset();
  if (!sqlite::exec(db, "PRAGMA synchronous=FULL") ||
      !sqlite::exec(db, defaults::kCreateTableSql)) {
    return false;
  }
  selectRow_ = sqlite::prepare(db, defaults::kSelectRowSql, Lifetime::persistent);
  selectAll_ = sqlite::prepare(db, "SELECT key, type, value FROM defaults ORDER BY key",
                               Lifetime::persistent);
  upsert_ = sqlite::prepare(db, defaults::kUpsertSql, Lifetime::persistent);
  // Numeric affinity turns text like "0123" into a number; keep such strings as bytes.
  keepStringExact_ = sqlite::prepare(
      db, "UPDATE defaults SET value = ?2 WHERE key = ?1 AND typeof(value) <> 'text'",
      Lifetime::persistent);
  remove_ = sqlite::prepare(db, "DELETE FROM defaults WHERE key = ?1", Lifetime::persistent);
  return selectRow_ && selectAll_ && upsert_ && keepStringExact_ && remove_;
}

bool SqliteUserDefaults::writeRow(const std::string& key, const std::optional<Value>& value) {
  sqlite3* db = db_.get();
  // IMMEDIATE takes the write lock up front, where the busy timeout applies.
  if (!sqlite::exec(db, "BEGIN IMMEDIATE")) return false;
  bool ok = true;
  if (value) {
    sqlite::StatementReset reset(upsert_.get());
    defaults::bindUpsert(upsert_.get(), key, *value);
    ok = sqlite3_step(upsert_.get()) == SQLITE_DONE;
    if (ok && std::holds_alternative<std::string>(*value)) {
      const std::string& text = std::get<std::string>(*value);
      sqlite::StatementReset keepReset(keepStringExact_.get());
      sqlite::bindText(keepStringExact_.get(), 1, key);
      sqlite::bindBlob(keepStringExact_.get(), 2, text.data(), text.size());
      ok = sqlite3_step(keepStringExact_.get()) == SQLITE_DONE;
    }
  } else {
    sqlite::StatementReset reset(remove_.get());
    sqlite::bindText(remove_.get(), 1, key);
    ok = sqlite3_step(remove_.get()) == SQLITE_DONE;
  }
  if (ok) ok = sqlite::exec(db, "COMMIT");
  if (!ok && !sqlite3_get_autocommit(db)) sqlite::exec(db, "ROLLBACK");
  return ok;
}

// A commit's last file write comes before it is visible; an attribute change after it
// gives watchers in other processes an event they can act on at once.
void SqliteUserDefaults::announceCommit() const {
  utimensat(AT_FDCWD, walPath_.c_str(), nullptr, 0);
}

std::optional<UserDefaults::Value> SqliteUserDefaults::object(const std::string& key) {
  std::optional<defaults::StoredRow> row;
  {
    std::lock_guard lock(dbMutex_);
    if (!defaults::readRow(selectRow_.get(), key, row)) return std::nullopt;
  }
  if (!row) return std::nullopt;
  return defaults::decode(*row);
}

bool SqliteUserDefaults::set(const std::string& key, const std::optional<Value>& value) {
  {
    std::lock_guard lock(dbMutex_);
    if (!writeRow(key, value)) return false;
  }
  announceCommit();
  watcher_->noteLocalWrite(key);
  return true;
}

std::vector<std::pair<std::string, UserDefaults::Value>> SqliteUserDefaults::all() {
  std::vector<std::pair<std::string, Value>> result;
  std::lock_guard lock(dbMutex_);
  sqlite3_stmt* stmt = selectAll_.get();
  sqlite::StatementReset reset(stmt);
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    const unsigned char* key = sqlite3_column_text(stmt, 0);
    int keySize = sqlite3_column_bytes(stmt, 0);
    std::optional<Value> value = defaults::decode(defaults::storedRow(stmt, 1, 2));
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
  std::optional<defaults::StoredRow> snapshot;
  {
    std::lock_guard lock(dbMutex_);
    defaults::readRow(selectRow_.get(), key, snapshot);
  }
  // Once the key is registered a callback may destroy this store; the copy keeps the
  // watcher alive until the call returns, and nothing of the store is touched after it.
  std::shared_ptr<defaults::Watcher> watcher = watcher_;
  return watcher->subscribe(key, std::move(snapshot), std::move(onChange));
}

}  // namespace qv
