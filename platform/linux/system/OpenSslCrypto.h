#pragma once

#include "platform/Crypto.h"

namespace qv {

// Crypto over OpenSSL's libcrypto: RAND_bytes and SHA-256 through EVP_Digest.
// Thread-safe. sha256() returns all zeros in the (allocation-failure) case where
// OpenSSL cannot compute it.
class OpenSslCrypto final : public Crypto {
 public:
  bool randomBytes(std::span<std::uint8_t> out) override;
  Sha256Digest sha256(std::span<const std::uint8_t> data) override;
};

}  // namespace qv
