#include "platform/testing/InMemorySecretStore.h"

#include <string>

namespace qv::testing {

InMemorySecretStore::Key InMemorySecretStore::keyOf(const SecretQuery& query) {
  return {query.service, query.accessGroup, query.account, query.synchronizable};
}

int InMemorySecretStore::deleteItems(const SecretQuery& query) {
  std::lock_guard lock(mutex_);
  if (forcedDeleteStatus_ != SecStatus::success) return forcedDeleteStatus_;
  return items_.erase(keyOf(query)) > 0 ? SecStatus::success : SecStatus::itemNotFound;
}

int InMemorySecretStore::add(const SecretQuery& query, const Bytes& data) {
  std::lock_guard lock(mutex_);
  std::string reference = "ref-" + std::to_string(nextReference_++);
  auto [it, inserted] =
      items_.try_emplace(keyOf(query), Item{data, Bytes(reference.begin(), reference.end())});
  return inserted ? SecStatus::success : SecStatus::duplicateItem;
}

int InMemorySecretStore::copyMatching(const SecretQuery& query, std::optional<Bytes>& result) {
  std::lock_guard lock(mutex_);
  auto it = items_.find(keyOf(query));
  if (it == items_.end()) return SecStatus::itemNotFound;
  switch (query.returnType) {
    case SecretQuery::Return::data:
      result = it->second.data;
      break;
    case SecretQuery::Return::persistentRef:
      result = it->second.reference;
      break;
    case SecretQuery::Return::nothing:
      result.reset();
      break;
  }
  return SecStatus::success;
}

std::size_t InMemorySecretStore::itemCount() const {
  std::lock_guard lock(mutex_);
  return items_.size();
}

}  // namespace qv::testing
