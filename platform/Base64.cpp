#include "platform/Base64.h"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "platform/CHandle.h"

namespace qv {

std::string base64Encode(std::string_view bytes) {
  // EVP_EncodeBlock takes an int length: encode in whole 3-byte groups of bounded size.
  constexpr std::size_t kChunk = 3 * 1024 * 1024;
  std::string out;
  out.reserve(4 * ((bytes.size() + 2) / 3));
  for (std::size_t offset = 0; offset < bytes.size(); offset += kChunk) {
    std::size_t length = std::min(kChunk, bytes.size() - offset);
    // Room for the NUL EVP_EncodeBlock writes after the last group.
    std::string piece(4 * ((length + 2) / 3) + 1, '\0');
    int count = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(piece.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data() + offset),
                                static_cast<int>(length));
    out.append(piece.data(), static_cast<std::size_t>(std::max(count, 0)));
  }
  return out;
}

std::string base64Encode(std::span<const std::uint8_t> bytes) {
  return base64Encode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::string base64UrlEncode(std::string_view bytes) {
  std::string text = base64Encode(bytes);
  while (!text.empty() && text.back() == '=') text.pop_back();
  std::replace(text.begin(), text.end(), '+', '-');
  std::replace(text.begin(), text.end(), '/', '_');
  return text;
}

std::string base64UrlEncode(std::span<const std::uint8_t> bytes) {
  return base64UrlEncode(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::optional<std::string> base64Decode(std::string_view text, std::size_t maxTextSize) {
  if (text.size() > maxTextSize || text.size() > static_cast<std::size_t>(INT_MAX)) {
    return std::nullopt;
  }
  CHandle<EVP_ENCODE_CTX, EVP_ENCODE_CTX_free> context(EVP_ENCODE_CTX_new());
  if (!context) return std::nullopt;
  std::string out(text.size() / 4 * 3 + 3, '\0');
  auto* target = reinterpret_cast<unsigned char*>(out.data());
  int written = 0;
  int finalWritten = 0;
  EVP_DecodeInit(context.get());
  if (EVP_DecodeUpdate(context.get(), target, &written,
                       reinterpret_cast<const unsigned char*>(text.data()),
                       static_cast<int>(text.size())) < 0 ||
      EVP_DecodeFinal(context.get(), target + written, &finalWritten) != 1) {
    return std::nullopt;
  }
  out.resize(static_cast<std::size_t>(written + finalWritten));
  return out;
}

}  // namespace qv
