#include "platform/testing/FakeCrypto.h"

#include <openssl/sha.h>

namespace qv::testing {

bool FakeCrypto::randomBytes(std::span<std::uint8_t> out) {
  if (failRandom_) return false;
  std::lock_guard lock(mutex_);
  for (std::uint8_t& byte : out) {
    if (!scripted_.empty()) {
      byte = scripted_.front();
      scripted_.pop_front();
    } else {
      byte = counter_++;
    }
  }
  return true;
}

Crypto::Sha256Digest FakeCrypto::sha256(std::span<const std::uint8_t> data) {
  Sha256Digest digest{};
  SHA256(data.data(), data.size(), digest.data());
  return digest;
}

void FakeCrypto::queueRandom(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  scripted_.insert(scripted_.end(), bytes.begin(), bytes.end());
}

}  // namespace qv::testing
