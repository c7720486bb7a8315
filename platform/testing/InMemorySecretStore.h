#pragma once

#include <map>
#include <mutex>
#include <tuple>

#include "platform/SecretStore.h"

namespace qv::testing {

// Secret items in memory; can be told to fail deletes with an error status.
class InMemorySecretStore final : public SecretStore {
 public:
  int deleteItems(const SecretQuery& query) override;
  int add(const SecretQuery& query, const Bytes& data) override;
  int copyMatching(const SecretQuery& query, std::optional<Bytes>& result) override;

  std::size_t itemCount() const;
  void setDeleteStatus(int status) {
    std::lock_guard lock(mutex_);
    forcedDeleteStatus_ = status;
  }

 private:
  using Key = std::tuple<std::string, std::string, std::string, bool>;
  struct Item {
    Bytes data;
    Bytes reference;
  };
  static Key keyOf(const SecretQuery& query);

  mutable std::mutex mutex_;
  std::map<Key, Item> items_;
  int nextReference_ = 1;
  int forcedDeleteStatus_ = SecStatus::success;
};

}  // namespace qv::testing
