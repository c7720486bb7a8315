// A defaults row comes from a file any process of the user may write. Whatever its type
// name, storage class and bytes, it decodes to a value of its type or to nothing, and a
// value decoded writes back through the store and reads again as the same value. Input: one byte
// choosing the type name, one the storage class, eight of integer or real, then the bytes.
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/linux/store/DefaultsCodec.h"
#include "platform/linux/store/SqliteUserDefaults.h"

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

  // Through the store's own write and read, on a real file.
  static const std::shared_ptr<qv::SqliteUserDefaults> store = [] {
    char folder[] = "/tmp/qv-stored-row-fuzz.XXXXXX";
    auto opened = qv::SqliteUserDefaults::open(std::string(mkdtemp(folder)) + "/defaults.sqlite3");
    if (!opened) std::abort();
    return opened;
  }();
  // A NaN has no row (the table refuses it); everything else is kept exactly.
  if (!store->set("k", value)) return 0;
  if (store->object("k") != value) std::abort();
  return 0;
}
