#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/SecretStore.h"
#include "platform/linux/store/Sqlite.h"

namespace qv {

// SecretStore in one SQLite file, readable and writable by the user only: the file is
// created with mode 0600 (an existing one is narrowed to it) and missing directories
// with 0700. Items are keyed by (service, access group, account, synchronizable) and
// match a query only when all four are equal. Each item gets a persistent reference
// when it is added: "qvref-" and 32 random hex digits, stable for the item's life.
//
// The database is opened on first use and reopened on a later call after a failure;
// while it cannot be opened every call returns SecStatus::ioError. Several processes may
// share the file (SQLite locking, 5 s busy timeout). Thread-safe: calls are serialised
// on one connection.
class SqliteSecretStore final : public SecretStore {
 public:
  // Default path: <XDG data home>/quorvane/secrets.sqlite3.
  explicit SqliteSecretStore(std::optional<std::string> path = std::nullopt);
  ~SqliteSecretStore() override;
  SqliteSecretStore(const SqliteSecretStore&) = delete;
  SqliteSecretStore& operator=(const SqliteSecretStore&) = delete;

  int deleteItems(const SecretQuery& query) override;
  int add(const SecretQuery& query, const Bytes& data) override;
  int copyMatching(const SecretQuery& query, std::optional<Bytes>& result) override;

  const std::string& path() const { return path_; }

 private:
  // The open connection, opening it when needed; null when that fails. Caller holds
  // mutex_.
  sqlite3* database();

  std::string path_;
  std::mutex mutex_;
  sqlite::Connection db_;  // guarded by mutex_
};

}  // namespace qv
