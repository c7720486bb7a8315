#include "SafariExtension/CodeVerification.h"

#include <algorithm>
#include <array>

#include "Common/Base64.h"

namespace qv {

std::string base64Url(std::span<const std::uint8_t> bytes) {
  std::string text = base64Encode(bytes);
  std::replace(text.begin(), text.end(), '/', '_');
  std::replace(text.begin(), text.end(), '+', '-');
  std::erase(text, '=');
  return text;
}

std::string CodeVerification::challengeFor(Crypto& crypto, std::string_view verifier) {
  Crypto::Sha256Digest digest = crypto.sha256(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(verifier.data()), verifier.size()));
  return base64Url(digest);
}

std::optional<CodeVerification> CodeVerification::generate(Crypto& crypto) {
  std::array<std::uint8_t, randomByteCount> bytes{};
  if (!crypto.randomBytes(bytes)) return std::nullopt;
  CodeVerification verification;
  verification.verifier = base64Url(bytes);
  verification.challenge = challengeFor(crypto, verification.verifier);
  return verification;
}

}  // namespace qv
