#include "platform/linux/system/OpenSslCrypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>

namespace qv {

bool OpenSslCrypto::randomBytes(std::span<std::uint8_t> out) {
  // RAND_bytes takes an int count.
  while (!out.empty()) {
    std::size_t chunk = std::min<std::size_t>(out.size(), INT_MAX);
    if (RAND_bytes(out.data(), static_cast<int>(chunk)) != 1) return false;
    out = out.subspan(chunk);
  }
  return true;
}

Crypto::Sha256Digest OpenSslCrypto::sha256(std::span<const std::uint8_t> data) {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
      length != digest.size()) {
    digest.fill(0);
  }
  return digest;
}

}  // namespace qv
