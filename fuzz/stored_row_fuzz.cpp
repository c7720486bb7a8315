// A defaults row comes from a file any process of the user may write. Whatever its type
// name, storage class and bytes, it decodes to a value of its type or to nothing, and a
// value decoded writes back and reads again as the same value. Input: one byte choosing
// the type name, one the storage class, eight of integer or real, then the bytes.
#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/linux/store/DefaultsCodec.h"

namespace {

struct Statement {
  sqlite3_stmt* stmt = nullptr;
  ~Statement() { sqlite3_finalize(stmt); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 10) return 0;
  static const char* const types[] = {"data", "string", "bool", "integer", "real", "date", "?"};
  static const int storages[] = {SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB,
                                 SQLITE_NULL};
  qv::defaults::StoredRow row;
  row.type = types[data[0] % 7];
  row.storage = storages[data[1] % 5];
  std::memcpy(&row.integer, data + 2, 8);
  std::memcpy(&row.real, data + 2, 8);
  row.bytes.assign(reinterpret_cast<const char*>(data + 10), size - 10);
  std::optional<qv::UserDefaults::Value> value = qv::defaults::decode(row);
  if (!value) return 0;

  // Through a real table, as the store writes and reads it.
  static sqlite3* db = [] {
    sqlite3* opened = nullptr;
    if (sqlite3_open(":memory:", &opened) != SQLITE_OK ||
        sqlite3_exec(opened, qv::defaults::kCreateTableSql, nullptr, nullptr, nullptr) != SQLITE_OK) {
      std::abort();
    }
    return opened;
  }();
  Statement upsert, select;
  if (sqlite3_prepare_v2(db, qv::defaults::kUpsertSql, -1, &upsert.stmt, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db, qv::defaults::kSelectRowSql, -1, &select.stmt, nullptr) != SQLITE_OK) {
    std::abort();
  }
  qv::defaults::bindUpsert(upsert.stmt, "k", *value);
  if (sqlite3_step(upsert.stmt) != SQLITE_DONE) return 0;  // refused by the table (NaN)
  std::optional<qv::defaults::StoredRow> back;
  if (!qv::defaults::readRow(select.stmt, "k", back) || !back) std::abort();
  if (qv::defaults::decode(*back) != value) std::abort();
  return 0;
}
