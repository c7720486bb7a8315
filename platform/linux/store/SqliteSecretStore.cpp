#include "platform/linux/store/SqliteSecretStore.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "platform/linux/system/UniqueFd.h"
#include "platform/linux/system/XdgPaths.h"

namespace qv {
namespace {

constexpr int kBusyTimeoutMs = 5000;

// Binds the four key columns to parameters 1..4.
bool bindKey(sqlite3_stmt* statement, const SecretQuery& query) {
  return sqlite::bindText(statement, 1, query.service) &&
         sqlite::bindText(statement, 2, query.accessGroup) &&
         sqlite::bindText(statement, 3, query.account) &&
         sqlite3_bind_int(statement, 4, query.synchronizable ? 1 : 0) == SQLITE_OK;
}

std::optional<std::string> newPersistentRef() {
  std::array<unsigned char, 16> random{};
  if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1) return std::nullopt;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string ref = "qvref-";
  for (unsigned char byte : random) {
    ref += kHex[byte >> 4];
    ref += kHex[byte & 0x0f];
  }
  return ref;
}

// Creates the file owner-only before SQLite opens it, so it is never readable by others,
// not even for a moment; an existing file is narrowed to owner-only.
bool prepareFile(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 &&
      !xdg::makeDirectories(path.substr(0, slash), 0700)) {
    return false;
  }
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.valid()) return false;
  struct stat info {};
  return ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) &&
         ((info.st_mode & 0777) == 0600 || ::fchmod(fd.get(), 0600) == 0);
}

// sqlite3_step's result for a statement that returns no rows.
bool stepFailed(int code) {
  return code != SQLITE_DONE && code != SQLITE_ROW;
}

}  // namespace

SqliteSecretStore::SqliteSecretStore(std::optional<std::string> path)
    : path_(path ? std::move(*path) : xdg::dataHome() + "/quorvane/secrets.sqlite3") {}

SqliteSecretStore::~SqliteSecretStore() = default;

sqlite3* SqliteSecretStore::database() {
  if (db_) return db_.get();
  if (!prepareFile(path_)) return nullptr;
  // prepareFile made the file; SQLite must not create one with looser permissions.
  sqlite::Connection db = sqlite::open(path_, /*create=*/false, kBusyTimeoutMs);
  if (!db) return nullptr;
  const char* schema =
      "CREATE TABLE IF NOT EXISTS items ("
      "  service TEXT NOT NULL,"
      "  access_group TEXT NOT NULL,"
      "  account TEXT NOT NULL,"
      "  synchronizable INTEGER NOT NULL,"
      "  data BLOB NOT NULL,"
      "  persistent_ref TEXT NOT NULL UNIQUE,"
      "  PRIMARY KEY (service, access_group, account, synchronizable))";
  if (!sqlite::exec(db.get(), schema)) return nullptr;
  db_ = std::move(db);
  return db_.get();
}

int SqliteSecretStore::deleteItems(const SecretQuery& query) {
  std::lock_guard lock(mutex_);
  sqlite3* db = database();
  if (db == nullptr) return SecStatus::ioError;
  sqlite::Statement statement =
      sqlite::prepare(db,
                      "DELETE FROM items WHERE service = ?1 AND access_group = ?2 "
                      "AND account = ?3 AND synchronizable = ?4");
  if (!statement || !bindKey(statement.get(), query)) return SecStatus::ioError;
  if (stepFailed(sqlite3_step(statement.get()))) return SecStatus::ioError;
  return sqlite3_changes(db) > 0 ? SecStatus::success : SecStatus::itemNotFound;
}

int SqliteSecretStore::add(const SecretQuery& query, const Bytes& data) {
  std::lock_guard lock(mutex_);
  sqlite3* db = database();
  if (db == nullptr) return SecStatus::ioError;
  auto ref = newPersistentRef();
  if (!ref) return SecStatus::ioError;
  sqlite::Statement statement =
      sqlite::prepare(db,
                      "INSERT INTO items (service, access_group, account, "
                      "synchronizable, data, persistent_ref) "
                      "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
  if (!statement || !bindKey(statement.get(), query)) return SecStatus::ioError;
  if (!sqlite::bindBlob(statement.get(), 5, data.data(), data.size()) ||
      !sqlite::bindText(statement.get(), 6, *ref)) {
    return SecStatus::ioError;
  }
  int step = sqlite3_step(statement.get());
  if (step == SQLITE_CONSTRAINT) {
    int extended = sqlite3_extended_errcode(db);
    if (extended == SQLITE_CONSTRAINT_PRIMARYKEY) return SecStatus::duplicateItem;
    return SecStatus::ioError;  // a persistent-reference collision: 2^-128, not worth a retry
  }
  return stepFailed(step) ? SecStatus::ioError : SecStatus::success;
}

int SqliteSecretStore::copyMatching(const SecretQuery& query, std::optional<Bytes>& result) {
  std::lock_guard lock(mutex_);
  result.reset();
  sqlite3* db = database();
  if (db == nullptr) return SecStatus::ioError;
  sqlite::Statement statement =
      sqlite::prepare(db,
                      "SELECT data, persistent_ref FROM items WHERE service = ?1 "
                      "AND access_group = ?2 AND account = ?3 AND synchronizable = ?4");
  if (!statement || !bindKey(statement.get(), query)) return SecStatus::ioError;
  int step = sqlite3_step(statement.get());
  if (step == SQLITE_DONE) return SecStatus::itemNotFound;
  if (step != SQLITE_ROW) return SecStatus::ioError;
  int column = -1;
  if (query.returnType == SecretQuery::Return::data) column = 0;
  if (query.returnType == SecretQuery::Return::persistentRef) column = 1;
  if (column >= 0) {
    const auto* bytes =
        static_cast<const std::uint8_t*>(sqlite3_column_blob(statement.get(), column));
    int size = sqlite3_column_bytes(statement.get(), column);
    result = bytes != nullptr ? Bytes(bytes, bytes + size) : Bytes();
  }
  return SecStatus::success;
}

}  // namespace qv
