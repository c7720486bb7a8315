#include "service/Tokens.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include "platform/Base64.h"

namespace qv::service {
namespace {

std::optional<std::string> randomBytes(std::size_t byteCount) {
  std::string bytes(byteCount, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(byteCount)) !=
      1) {
    return std::nullopt;
  }
  return bytes;
}

}  // namespace

std::optional<std::string> s256Challenge(std::string_view verifier) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(verifier.data(), verifier.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    return std::nullopt;
  }
  return base64UrlEncode(std::string_view(reinterpret_cast<const char*>(digest), length));
}

std::optional<std::string> randomToken(std::size_t byteCount) {
  auto bytes = randomBytes(byteCount);
  if (!bytes) return std::nullopt;
  return base64UrlEncode(*bytes);
}

std::optional<std::string> randomHex(std::size_t byteCount) {
  auto bytes = randomBytes(byteCount);
  if (!bytes) return std::nullopt;
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(byteCount * 2);
  for (unsigned char byte : *bytes) {
    text += digits[byte >> 4];
    text += digits[byte & 0x0f];
  }
  return text;
}

}  // namespace qv::service
