#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

// RAII holders and small call wrappers both SQLite stores use. None of these lock: a
// connection is opened without SQLite's own mutex, so its owner serialises every use of
// it and of its statements.
namespace qv::sqlite {

struct ConnectionCloser {
  void operator()(sqlite3* db) const;
};
// An open connection, closed when the holder goes (statements still alive keep SQLite's
// resources until they are finalized; sqlite3_close_v2 semantics).
using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* stmt) const;
};
// A prepared statement, finalized when the holder goes.
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Resets a statement and clears its bindings at scope end, so that a cached statement
// never keeps a read transaction open.
class StatementReset {
 public:
  explicit StatementReset(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~StatementReset();
  StatementReset(const StatementReset&) = delete;
  StatementReset& operator=(const StatementReset&) = delete;

 private:
  sqlite3_stmt* stmt_;
};

// Opens `path` read-write, creating the file only when `create` is set, and sets the
// busy timeout. Null when SQLite cannot open it.
Connection open(const std::string& path, bool create, int busyTimeoutMs);

// What the last call on `db` that failed ran into, as far as a caller acts on it.
enum class Failure {
  corrupt,  // the file is not a database, or its contents are damaged
  busy,     // another connection held a lock past the busy timeout
  other,
};
Failure lastFailure(sqlite3* db);
// The last error's text, for a log line.
std::string lastErrorMessage(sqlite3* db);

// Runs `sql` (any number of statements, results discarded). False on any error.
bool exec(sqlite3* db, const char* sql);

// How long a prepared statement is meant to live: `persistent` for statements kept and
// reused for the life of the connection.
enum class Lifetime { oneShot, persistent };

// Prepares the first statement of `sql`. Null on an error.
Statement prepare(sqlite3* db, const char* sql, Lifetime lifetime = Lifetime::oneShot);

// Bind a copy of the value to parameter `index` (1-based). False when SQLite refuses
// (index out of range, value too big).
bool bindText(sqlite3_stmt* stmt, int index, std::string_view text);
// An empty blob binds an empty BLOB, not NULL.
bool bindBlob(sqlite3_stmt* stmt, int index, const void* data, std::size_t size);

}  // namespace qv::sqlite
