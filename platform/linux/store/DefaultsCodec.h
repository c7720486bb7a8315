#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/UserDefaults.h"

// How a defaults row is kept in SQLite: the table, the row as stored, and the rules that
// turn it into a UserDefaults::Value and back. The lenient reading rules are listed with
// SqliteUserDefaults. Pure functions over statements the caller owns; no locking.
namespace qv::defaults {

inline constexpr const char* kCreateTableSql = R"sql(CREATE TABLE IF NOT EXISTS defaults (
  key   TEXT PRIMARY KEY NOT NULL,
  type  TEXT NOT NULL CHECK (type IN ('data','string','bool','integer','real','date')),
  value ANY NOT NULL
))sql";
// What readRow expects its statement to be.
inline constexpr const char* kSelectRowSql = "SELECT type, value FROM defaults WHERE key = ?1";
// What bindUpsert fills in.
inline constexpr const char* kUpsertSql =
    "INSERT INTO defaults (key, type, value) VALUES (?1, ?2, ?3) "
    "ON CONFLICT (key) DO UPDATE SET type = excluded.type, value = excluded.value";

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

// The row in `stmt`'s current result, from its type and value columns.
StoredRow storedRow(sqlite3_stmt* stmt, int typeColumn, int valueColumn);

// Runs `select` (a kSelectRowSql statement) for `key` and resets it. False on a database
// error; otherwise `row` holds the row, or absent when there is none.
bool readRow(sqlite3_stmt* select, const std::string& key, std::optional<StoredRow>& row);

// The value a row stands for; absent when its stored value does not fit its type.
std::optional<UserDefaults::Value> decode(const StoredRow& row);

// Binds `key`, the type name and the value to an upsert (kUpsertSql). A NaN real binds
// NULL, which the NOT NULL constraint then refuses.
void bindUpsert(sqlite3_stmt* upsert, const std::string& key, const UserDefaults::Value& value);

}  // namespace qv::defaults
