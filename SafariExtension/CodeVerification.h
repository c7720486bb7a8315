#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/Crypto.h"

namespace qv {

// A PKCE code verifier and its S256 challenge (RFC 7636), both unpadded base64url.
struct CodeVerification {
  std::string verifier;   // 128 characters: 96 random bytes
  std::string challenge;  // 43 characters: the SHA-256 digest of the verifier

  static constexpr std::size_t randomByteCount = 96;

  // A fresh verification from the secure generator; absent when the generator fails.
  // Any thread (Crypto is thread-safe).
  static std::optional<CodeVerification> generate(Crypto& crypto);
  // base64url(SHA-256(ASCII bytes of `verifier`)).
  static std::string challengeFor(Crypto& crypto, std::string_view verifier);

  bool operator==(const CodeVerification&) const = default;
};

}  // namespace qv
