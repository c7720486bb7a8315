#include "SafariExtension/CodeVerification.h"

#include <array>

#include "platform/Base64.h"

namespace qv {

std::string CodeVerification::challengeFor(Crypto& crypto, std::string_view verifier) {
  Crypto::Sha256Digest digest = crypto.sha256(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(verifier.data()), verifier.size()));
  return base64UrlEncode(digest);
}

std::optional<CodeVerification> CodeVerification::generate(Crypto& crypto) {
  std::array<std::uint8_t, randomByteCount> bytes{};
  if (!crypto.randomBytes(bytes)) return std::nullopt;
  CodeVerification verification;
  verification.verifier = base64UrlEncode(bytes);
  verification.challenge = challengeFor(crypto, verification.verifier);
  return verification;
}

}  // namespace qv
