#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/SecretStore.h"
#include "platform/Types.h"

namespace qv {

// One byte blob per account key inside one service and access group of the secret
// store, so that both deliverables see the same items. Failures are reported only as
// false or absent. Thread-safe when the store is.
class Keychain {
 public:
  // Accepted for callers' intent; the store keeps every item at its default access.
  enum class Access {
    accessibleWhenUnlocked,
    accessibleWhenUnlockedThisDeviceOnly,
    accessibleAfterFirstUnlock,
    accessibleAfterFirstUnlockThisDeviceOnly,
    accessibleAlways,
    accessibleWhenPasscodeSetThisDeviceOnly,
    accessibleAlwaysThisDeviceOnly,
  };

  Keychain(std::string service, std::string accessGroup, std::shared_ptr<SecretStore> store);

  // Replaces the item: delete, then add. Absent data removes the item and returns false.
  bool set(const std::optional<Bytes>& data, const std::string& key, Access access);
  // The item's data, or its persistent reference (an opaque id, not the data).
  std::optional<Bytes> getData(const std::string& key, bool asReference);
  // True when the item is gone afterwards, including when it never existed.
  bool remove(const std::string& key);

  const std::string& service() const { return service_; }
  const std::string& accessGroup() const { return accessGroup_; }

 private:
  SecretQuery query(const std::string& key) const;

  std::string service_;
  std::string accessGroup_;
  std::shared_ptr<SecretStore> store_;
};

// A keychain paired with an access level.
struct KeychainDataContainer {
  Keychain keychain;
  Keychain::Access access;
};

}  // namespace qv
