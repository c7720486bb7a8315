#include "platform/linux/store/Sqlite.h"

#include <sqlite3.h>

namespace qv::sqlite {

void ConnectionCloser::operator()(sqlite3* db) const {
  sqlite3_close_v2(db);
}

void StatementFinalizer::operator()(sqlite3_stmt* stmt) const {
  sqlite3_finalize(stmt);
}

StatementReset::~StatementReset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

Connection open(const std::string& path, bool create, int busyTimeoutMs) {
  sqlite3* raw = nullptr;
  // Owners serialise each connection, so SQLite's own mutex is not needed.
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  Connection db(raw);
  if (rc != SQLITE_OK) return nullptr;
  sqlite3_busy_timeout(db.get(), busyTimeoutMs);
  return db;
}

Failure lastFailure(sqlite3* db) {
  switch (sqlite3_errcode(db) & 0xff) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return Failure::corrupt;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return Failure::busy;
    default:
      return Failure::other;
  }
}

std::string lastErrorMessage(sqlite3* db) {
  const char* message = sqlite3_errmsg(db);
  return message != nullptr ? message : "unknown error";
}

bool exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

Statement prepare(sqlite3* db, const char* sql, Lifetime lifetime) {
  sqlite3_stmt* stmt = nullptr;
  unsigned flags = lifetime == Lifetime::persistent ? SQLITE_PREPARE_PERSISTENT : 0;
  if (sqlite3_prepare_v3(db, sql, -1, flags, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return nullptr;
  }
  return Statement(stmt);
}

bool bindText(sqlite3_stmt* stmt, int index, std::string_view text) {
  // A null pointer would bind NULL; an empty view may carry one.
  const char* data = text.data() != nullptr ? text.data() : "";
  return sqlite3_bind_text64(stmt, index, data, text.size(), SQLITE_TRANSIENT, SQLITE_UTF8) ==
         SQLITE_OK;
}

bool bindBlob(sqlite3_stmt* stmt, int index, const void* data, std::size_t size) {
  // A null pointer would bind NULL.
  static const char kEmpty = 0;
  return sqlite3_bind_blob64(stmt, index, size == 0 ? &kEmpty : data, size, SQLITE_TRANSIENT) ==
         SQLITE_OK;
}

}  // namespace qv::sqlite
