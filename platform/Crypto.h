#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace qv {

// Secure random bytes and SHA-256 (OpenSSL on Linux). Thread-safe.
class Crypto {
 public:
  using Sha256Digest = std::array<std::uint8_t, 32>;

  virtual ~Crypto() = default;
  // Fills `out` from a cryptographically secure generator; false when it failed.
  virtual bool randomBytes(std::span<std::uint8_t> out) = 0;
  virtual Sha256Digest sha256(std::span<const std::uint8_t> data) = 0;
};

}  // namespace qv
