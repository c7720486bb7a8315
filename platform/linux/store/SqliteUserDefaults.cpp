#include "platform/linux/store/SqliteUserDefaults.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/linux/store/DefaultsCodec.h"
#include "platform/linux/store/DefaultsWatcher.h"
#include "platform/linux/system/Files.h"
#include "platform/linux/system/SyslogSystemLog.h"
#include "platform/linux/system/XdgPaths.h"

namespace qv {
namespace {

// The lower bound other processes rely on; longer would hold a writing UI thread longer.
constexpr int kBusyTimeoutMs = 5000;

// "20261208T203000Z": when a corrupt file was moved aside.
std::string utcTimestamp() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
  return text;
}

}  // namespace

SqliteUserDefaults::SqliteUserDefaults(std::string databasePath, std::shared_ptr<SystemLog> log)
    : path_(std::move(databasePath)),
      walPath_(path_ + "-wal"),
      log_(log ? std::move(log) : std::make_shared<SyslogSystemLog>()),
      watcher_(std::make_shared<defaults::Watcher>(path_, kBusyTimeoutMs)) {}

SqliteUserDefaults::~SqliteUserDefaults() {
  watcher_->stop();
}

std::shared_ptr<SqliteUserDefaults> SqliteUserDefaults::open(const std::string& databasePath,
                                                             std::shared_ptr<SystemLog> log) {
  if (!xdg::makeDirectories(files::directoryOf(databasePath), 0700)) return nullptr;
  std::shared_ptr<SqliteUserDefaults> store(
      new SqliteUserDefaults(databasePath, std::move(log)));
  std::lock_guard lock(store->dbMutex_);
  if (!store->openRecovering()) return nullptr;
  return store;
}

const std::string& SqliteUserDefaults::path() const {
  return path_;
}

bool SqliteUserDefaults::openWriter() {
  using sqlite::Lifetime;
  openedFile_ = files::identityOf(path_);
  db_ = sqlite::open(path_, /*create=*/true, kBusyTimeoutMs);
  if (!db_) {
    failure_ = sqlite::Failure::other;
    failureMessage_ = "cannot be opened";
    return false;
  }
  sqlite3* db = db_.get();
  auto fail = [&] {
    failure_ = sqlite::lastFailure(db);
    failureMessage_ = sqlite::lastErrorMessage(db);
    return false;
  };
  sqlite::Statement journal = sqlite::prepare(db, "PRAGMA journal_mode=WAL", Lifetime::persistent);
  if (!journal || sqlite3_step(journal.get()) != SQLITE_ROW) return fail();
  const unsigned char* mode = sqlite3_column_text(journal.get(), 0);
  if (mode == nullptr || strcasecmp(reinterpret_cast<const char*>(mode), "wal") != 0) {
    failure_ = sqlite::Failure::other;
    failureMessage_ = "cannot use a write-ahead log";
    return false;
  }
  journal.reset();
  if (!sqlite::exec(db, "PRAGMA synchronous=FULL") ||
      !sqlite::exec(db, defaults::kCreateTableSql)) {
    return fail();
  }
  // A file created just now has an identity only from here on.
  if (!openedFile_.exists()) openedFile_ = files::identityOf(path_);
  fileFd_ = UniqueFd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  selectRow_ = sqlite::prepare(db, defaults::kSelectRowSql, Lifetime::persistent);
  selectAll_ = sqlite::prepare(db, "SELECT key, type, value FROM defaults ORDER BY key",
                               Lifetime::persistent);
  upsert_ = sqlite::prepare(db, defaults::kUpsertSql, Lifetime::persistent);
  // Numeric affinity turns text like "0123" into a number; keep such strings as bytes.
  keepStringExact_ = sqlite::prepare(
      db, "UPDATE defaults SET value = ?2 WHERE key = ?1 AND typeof(value) <> 'text'",
      Lifetime::persistent);
  remove_ = sqlite::prepare(db, "DELETE FROM defaults WHERE key = ?1", Lifetime::persistent);
  if (!selectRow_ || !selectAll_ || !upsert_ || !keepStringExact_ || !remove_) return fail();
  return true;
}

void SqliteUserDefaults::closeWriter() {
  // Statements go before the connection they belong to.
  selectRow_.reset();
  selectAll_.reset();
  upsert_.reset();
  keepStringExact_.reset();
  remove_.reset();
  db_.reset();
  fileFd_.reset();
}

bool SqliteUserDefaults::openRecovering() {
  if (openWriter()) return true;
  if (failure_ != sqlite::Failure::corrupt) {
    closeWriter();
    return false;
  }
  return replaceCorruptFile();
}

bool SqliteUserDefaults::replaceCorruptFile() {
  // Another process may have moved it aside and started a new store already: only the
  // file found corrupt is moved. It is moved before the connection closes, since closing
  // may delete the journal files that belong to it.
  if (openedFile_.exists() && files::identityOf(path_) == openedFile_) {
    std::optional<std::string> moved = files::moveAside(path_, ".corrupt-" + utcTimestamp());
    if (!moved) {
      log_->error("Defaults store " + path_ + " is corrupt (" + failureMessage_ +
                  ") and could not be moved aside");
      closeWriter();
      return false;
    }
    // The journal files belong to the old contents; left here, they would be read into
    // the new store.
    for (const char* journal : {"-wal", "-shm"}) {
      if (files::identityOf(path_ + journal).exists()) {
        std::rename((path_ + journal).c_str(), (*moved + journal).c_str());
      }
    }
    log_->error("Defaults store " + path_ + " was corrupt (" + failureMessage_ +
                "); moved it to " + *moved + " and started a new, empty one");
  }
  closeWriter();
  if (openWriter()) return true;
  closeWriter();
  return false;
}

bool SqliteUserDefaults::followFile() {
  if (!db_) return openRecovering();
  files::FileIdentity current = files::identityOf(path_);
  if (current != openedFile_) {
    // Replaced under us (another process recovered it, or a tool swapped it): the
    // store is whatever the path names now.
    closeWriter();
    return openRecovering();
  }
  // Overwritten in place: SQLite would keep serving its cache and write into a journal
  // that nobody could read back, so the header is checked first. A store whose
  // contents are all in its write-ahead log still has an empty file.
  char header[16] = {};
  ssize_t got = fileFd_.valid() ? ::pread(fileFd_.get(), header, sizeof header, 0) : 0;
  if (got == 0 || (got == sizeof header && std::memcmp(header, "SQLite format 3", 16) == 0)) {
    return true;
  }
  failureMessage_ = "file is not a database";
  return replaceCorruptFile();
}

template <typename Operation>
bool SqliteUserDefaults::withRecovery(const std::string& what, Operation operation) {
  if (!followFile()) return false;
  if (operation()) return true;
  if (failure_ == sqlite::Failure::busy) {
    log_->error("Defaults store " + path_ + " stayed locked for " +
                std::to_string(kBusyTimeoutMs / 1000) + " s; " + what + " failed");
    return false;
  }
  return failure_ == sqlite::Failure::corrupt && replaceCorruptFile() && operation();
}

bool SqliteUserDefaults::writeRow(const std::string& key, const std::optional<Value>& value) {
  sqlite3* db = db_.get();
  // IMMEDIATE takes the write lock up front, where the busy timeout applies.
  bool ok = sqlite::exec(db, "BEGIN IMMEDIATE");
  if (ok && value) {
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
  } else if (ok) {
    sqlite::StatementReset reset(remove_.get());
    sqlite::bindText(remove_.get(), 1, key);
    ok = sqlite3_step(remove_.get()) == SQLITE_DONE;
  }
  if (ok) ok = sqlite::exec(db, "COMMIT");
  if (ok) return true;
  // Taken before the rollback, which clears it.
  failure_ = sqlite::lastFailure(db);
  failureMessage_ = sqlite::lastErrorMessage(db);
  if (!sqlite3_get_autocommit(db)) sqlite::exec(db, "ROLLBACK");
  return false;
}

bool SqliteUserDefaults::readRow(const std::string& key,
                                 std::optional<defaults::StoredRow>& row) {
  if (defaults::readRow(selectRow_.get(), key, row)) return true;
  failure_ = sqlite::lastFailure(db_.get());
  failureMessage_ = sqlite::lastErrorMessage(db_.get());
  return false;
}

bool SqliteUserDefaults::readAll(std::vector<std::pair<std::string, Value>>& result) {
  result.clear();
  sqlite3_stmt* stmt = selectAll_.get();
  sqlite::StatementReset reset(stmt);
  int rc = SQLITE_ROW;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    const unsigned char* key = sqlite3_column_text(stmt, 0);
    int keySize = sqlite3_column_bytes(stmt, 0);
    std::optional<Value> value = defaults::decode(defaults::storedRow(stmt, 1, 2));
    if (key == nullptr || !value) continue;
    result.emplace_back(std::string(reinterpret_cast<const char*>(key), keySize),
                        std::move(*value));
  }
  if (rc == SQLITE_DONE) return true;
  failure_ = sqlite::lastFailure(db_.get());
  failureMessage_ = sqlite::lastErrorMessage(db_.get());
  return false;
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
    if (!withRecovery("reading " + key, [&] { return readRow(key, row); })) return std::nullopt;
  }
  if (!row) return std::nullopt;
  return defaults::decode(*row);
}

bool SqliteUserDefaults::set(const std::string& key, const std::optional<Value>& value) {
  {
    std::lock_guard lock(dbMutex_);
    if (!withRecovery("writing " + key, [&] { return writeRow(key, value); })) return false;
  }
  announceCommit();
  watcher_->noteLocalWrite(key);
  return true;
}

std::vector<std::pair<std::string, UserDefaults::Value>> SqliteUserDefaults::all() {
  std::vector<std::pair<std::string, Value>> result;
  std::lock_guard lock(dbMutex_);
  if (!withRecovery("reading every key", [&] { return readAll(result); })) result.clear();
  return result;
}

std::unique_ptr<Subscription> SqliteUserDefaults::subscribe(const std::string& key,
                                                            std::function<void()> onChange) {
  // The snapshot is taken now, so a change committed right after subscribe returns is
  // seen as a change even if the watcher has not looked at this key yet.
  std::optional<defaults::StoredRow> snapshot;
  {
    std::lock_guard lock(dbMutex_);
    withRecovery("reading " + key, [&] { return readRow(key, snapshot); });
  }
  // Once the key is registered a callback may destroy this store; the copy keeps the
  // watcher alive until the call returns, and nothing of the store is touched after it.
  std::shared_ptr<defaults::Watcher> watcher = watcher_;
  return watcher->subscribe(key, std::move(snapshot), std::move(onChange));
}

}  // namespace qv
