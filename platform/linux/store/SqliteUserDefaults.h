#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/UserDefaults.h"
#include "platform/linux/store/LinuxUserDefaultsFactory.h"
#include "platform/SystemLog.h"
#include "platform/linux/store/DefaultsCodec.h"
#include "platform/linux/store/Sqlite.h"
#include "platform/linux/system/Files.h"
#include "platform/linux/system/UniqueFd.h"

namespace qv {

namespace defaults {
class Watcher;
}  // namespace defaults

// A defaults domain kept in one SQLite database file (WAL journal), shared with every
// other process that opens the same file.
//
// Rows are (key, type, value) with type one of data, string, bool, integer, real, date.
// Values are stored as BLOB, TEXT, INTEGER 0/1, INTEGER, REAL and REAL seconds since
// 1970. The value column has numeric affinity, so SQLite stores whole reals and dates as
// INTEGER (read back exactly), and would turn text that looks like a number ("0123")
// into a number; such strings are stored as a BLOB of their UTF-8 bytes instead, which
// keeps them exact.
//
// Rows written by other tools whose stored SQL type does not match their declared type
// are read leniently where no information is lost, and as absent otherwise:
//   data    TEXT -> its bytes;                 numbers -> absent
//   string  BLOB -> its bytes; INTEGER/REAL -> their decimal text
//   bool    INTEGER or REAL 0/1 -> false/true;  anything else -> absent
//   integer REAL with an integral value in range -> that integer; else absent
//   real, date  INTEGER -> that number;         TEXT/BLOB -> absent
//
// Every method may be called from any thread. Writes are serialised through one
// connection; each is one `BEGIN IMMEDIATE` transaction, fsynced before `set` returns.
//
// Recovery: a file SQLite reports as not a database, or as corrupt, when opened or on
// any later operation, is moved beside itself to "defaults.sqlite3.corrupt-<UTC time>"
// (with its -wal and -shm files) and a new empty store takes its place; the operation is
// then tried once more. A store locked past its busy timeout fails that one operation.
// Both go to the system log.
//
// Change notification: the first `subscribe` starts a watcher thread with its own
// connection. It wakes on inotify events in the database's directory, on local writes,
// and every 5 s as a fallback; it confirms other connections' commits with
// `PRAGMA data_version` and calls the subscribers of each key whose row differs from
// its last snapshot. Keys written by this store are notified even when the row ends up
// as it was. After each commit the store touches the `-wal` file, so that watchers in
// other processes get a file event once the commit is visible; commits by other programs
// are still found, a few milliseconds later. Callbacks run on the watcher thread, one at
// a time. A subscription's destructor waits for its running callback, so it must not be
// destroyed while holding a lock that callback takes.
class SqliteUserDefaults final : public UserDefaults {
 public:
  // Opens the database at `databasePath`, creating its directory (mode 0700) and the
  // table when missing, and moving a corrupt file aside. Null when the directory or
  // database cannot be created or opened. `log` (the system log when null) gets recovery
  // and lock events.
  static std::shared_ptr<SqliteUserDefaults> open(const std::string& databasePath,
                                                  std::shared_ptr<SystemLog> log = nullptr);

  // Stops and joins the watcher thread. Destroying the store from one of its own
  // callbacks is allowed: the watcher then finishes that callback and exits on its own.
  ~SqliteUserDefaults() override;
  SqliteUserDefaults(const SqliteUserDefaults&) = delete;
  SqliteUserDefaults& operator=(const SqliteUserDefaults&) = delete;

  std::optional<Value> object(const std::string& key) override;
  // False when the write failed (busy past the timeout, disk full, a NaN real).
  bool set(const std::string& key, const std::optional<Value>& value) override;
  std::vector<std::pair<std::string, Value>> all() override;
  // The returned subscription may outlive the store; it then simply never fires. If the
  // watcher cannot be started (no file descriptors left) it may never fire.
  std::unique_ptr<Subscription> subscribe(const std::string& key,
                                          std::function<void()> onChange) override;

  // The database file this store uses.
  const std::string& path() const;

 private:
  SqliteUserDefaults(std::string databasePath, std::shared_ptr<SystemLog> log);

  // Opens the writer connection in WAL mode, creates the table and prepares the
  // statements. False when any of that fails, with failure_ set.
  bool openWriter();
  void closeWriter();
  // openWriter(), moving a corrupt file aside and trying once more. Caller holds
  // dbMutex_ (or is open()).
  bool openRecovering();
  // Moves the file the writer found corrupt aside (unless another process already
  // replaced it), logs it, and opens a new store. Caller holds dbMutex_.
  bool replaceCorruptFile();
  // Makes sure the writer still works on the file at path_: follows a file that was
  // replaced, and replaces one overwritten with something that is not a database. False
  // when no store can be opened. Caller holds dbMutex_.
  bool followFile();
  // Runs `operation` (true on success, failure_ set otherwise); a corrupt store is
  // replaced and the operation run once more. Logs a lock that outlasted the busy
  // timeout. Caller holds dbMutex_.
  template <typename Operation>
  bool withRecovery(const std::string& what, Operation operation);
  // One transaction; caller holds dbMutex_.
  bool writeRow(const std::string& key, const std::optional<Value>& value);
  bool readRow(const std::string& key, std::optional<defaults::StoredRow>& row);
  bool readAll(std::vector<std::pair<std::string, Value>>& result);
  void announceCommit() const;

  const std::string path_;
  const std::string walPath_;
  const std::shared_ptr<SystemLog> log_;

  // The connection every method reads and writes through, and its statements.
  std::mutex dbMutex_;
  sqlite::Connection db_;  // guarded by dbMutex_, as are the statements
  sqlite::Statement selectRow_;
  sqlite::Statement selectAll_;
  sqlite::Statement upsert_;
  sqlite::Statement keepStringExact_;
  sqlite::Statement remove_;
  sqlite::Failure failure_ = sqlite::Failure::other;  // of the last failed call
  std::string failureMessage_;
  files::FileIdentity openedFile_;  // what db_ was opened on
  UniqueFd fileFd_;                 // the same file, to check its header

  const std::shared_ptr<defaults::Watcher> watcher_;
};

}  // namespace qv
