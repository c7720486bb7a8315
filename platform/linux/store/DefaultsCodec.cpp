#include "platform/linux/store/DefaultsCodec.h"

#include <array>
#include <charconv>
#include <cmath>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>

#include "platform/linux/store/Sqlite.h"

namespace qv::defaults {
namespace {

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

// The declared type of `value`, in the order of UserDefaults::Value's alternatives.
const char* typeName(const UserDefaults::Value& value) {
  static constexpr std::array<const char*, 6> kNames = {"data",    "string", "bool",
                                                        "integer", "real",   "date"};
  return kNames[value.index()];
}

}  // namespace

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

bool readRow(sqlite3_stmt* select, const std::string& key, std::optional<StoredRow>& row) {
  sqlite::StatementReset reset(select);
  sqlite::bindText(select, 1, key);
  int rc = sqlite3_step(select);
  if (rc == SQLITE_ROW) {
    row = storedRow(select, 0, 1);
    return true;
  }
  row.reset();
  return rc == SQLITE_DONE;
}

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

void bindUpsert(sqlite3_stmt* upsert, const std::string& key, const UserDefaults::Value& value) {
  sqlite::bindText(upsert, 1, key);
  sqlite3_bind_text(upsert, 2, typeName(value), -1, SQLITE_STATIC);
  std::visit(
      [&](const auto& typed) {
        using T = std::decay_t<decltype(typed)>;
        if constexpr (std::is_same_v<T, Bytes>) {
          sqlite::bindBlob(upsert, 3, typed.data(), typed.size());
        } else if constexpr (std::is_same_v<T, std::string>) {
          sqlite::bindText(upsert, 3, typed);
        } else if constexpr (std::is_same_v<T, bool>) {
          sqlite3_bind_int64(upsert, 3, typed ? 1 : 0);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          sqlite3_bind_int64(upsert, 3, typed);
        } else if constexpr (std::is_same_v<T, double>) {
          sqlite3_bind_double(upsert, 3, typed);  // NaN binds NULL and fails NOT NULL
        } else {
          sqlite3_bind_double(upsert, 3, typed.secondsSince1970);
        }
      },
      value);
}

}  // namespace qv::defaults
