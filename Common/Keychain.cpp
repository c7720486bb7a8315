#include "Common/Keychain.h"

namespace qv {

Keychain::Keychain(std::string service, std::string accessGroup, std::shared_ptr<SecretStore> store)
    : service_(std::move(service)),
      accessGroup_(std::move(accessGroup)),
      store_(std::move(store)) {}

SecretQuery Keychain::query(const std::string& key) const {
  return SecretQuery{service_, accessGroup_, key, /*synchronizable=*/true,
                     SecretQuery::Return::nothing};
}

bool Keychain::remove(const std::string& key) {
  int status = store_->deleteItems(query(key));
  return status == SecStatus::success || status == SecStatus::itemNotFound;
}

bool Keychain::set(const std::optional<Bytes>& data, const std::string& key, Access /*access*/) {
  if (!remove(key)) return false;  // the old item stays; nothing is added over it
  if (!data) return false;
  return store_->add(query(key), *data) == SecStatus::success;
}

std::optional<Bytes> Keychain::getData(const std::string& key, bool asReference) {
  SecretQuery lookup = query(key);
  lookup.returnType = asReference ? SecretQuery::Return::persistentRef : SecretQuery::Return::data;
  std::optional<Bytes> result;
  if (store_->copyMatching(lookup, result) != SecStatus::success) return std::nullopt;
  return result;
}

}  // namespace qv
