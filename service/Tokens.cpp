#include "service/Tokens.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <vector>

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

std::string base64Url(std::string_view bytes) {
  std::vector<unsigned char> encoded(4 * ((bytes.size() + 2) / 3) + 1);
  int length = EVP_EncodeBlock(encoded.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                               static_cast<int>(bytes.size()));
  std::string text(reinterpret_cast<const char*>(encoded.data()), static_cast<std::size_t>(length));
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return text;
}

std::optional<std::string> s256Challenge(std::string_view verifier) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(verifier.data(), verifier.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    return std::nullopt;
  }
  return base64Url(std::string_view(reinterpret_cast<const char*>(digest), length));
}

std::optional<std::string> randomToken(std::size_t byteCount) {
  auto bytes = randomBytes(byteCount);
  if (!bytes) return std::nullopt;
  return base64Url(*bytes);
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
