#pragma once

#include <optional>
#include <string>

#include "platform/Types.h"

namespace qv {

// Status codes of the secret store, as the keychain reports them.
namespace SecStatus {
inline constexpr int success = 0;
inline constexpr int itemNotFound = -25300;
inline constexpr int duplicateItem = -25299;
inline constexpr int ioError = -36;
}  // namespace SecStatus

// The attributes that identify a generic-password item, plus what a lookup returns.
struct SecretQuery {
  enum class Return { nothing, data, persistentRef };

  std::string service;
  std::string accessGroup;
  std::string account;
  bool synchronizable = true;
  Return returnType = Return::nothing;  // lookups only
};

// Generic-password items keyed by (service, access group, account, synchronizable).
// Thread-safe. Linux keeps them in an SQLite file readable by the user only.
class SecretStore {
 public:
  virtual ~SecretStore() = default;

  // Removes every matching item: success, itemNotFound, or an error status.
  virtual int deleteItems(const SecretQuery& query) = 0;
  // Adds one item: success, duplicateItem when it exists, or an error status.
  virtual int add(const SecretQuery& query, const Bytes& data) = 0;
  // One matching item's data or persistent reference (per query.returnType) into
  // `result`: success, itemNotFound, or an error status. A persistent reference is an
  // opaque id of the item, never its data.
  virtual int copyMatching(const SecretQuery& query, std::optional<Bytes>& result) = 0;
};

}  // namespace qv
