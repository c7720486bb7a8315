#include "platform/Base64.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qv {
namespace {

std::string encode(std::string_view text) {
  return base64Encode(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

TEST(Base64Test, matchesTheRfc4648TestVectors) {
  // RFC 4648 section 10: each text and its encoding.
  const std::pair<std::string_view, std::string_view> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [text, encoded] : vectors) EXPECT_EQ(encode(text), encoded) << text;
}

TEST(Base64Test, usesTheStandardAlphabetForEveryByteValue) {
  // 0xFB 0xFF 0xBF gives the two symbols base64url replaces; a zero byte is encoded too.
  std::vector<std::uint8_t> bytes = {0xFB, 0xFF, 0xBF, 0x00};
  EXPECT_EQ(base64Encode(bytes), "+/+/AA==");

  std::vector<std::uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  std::string text = base64Encode(all);
  EXPECT_EQ(text.size(), 344u);  // 4 * ceil(256 / 3)
  EXPECT_EQ(text.substr(0, 8), "AAECAwQF");
  EXPECT_EQ(text.substr(text.size() - 8), "/P3+/w==");
}

TEST(Base64Test, urlFormSwapsTheTwoSymbolsAndDropsThePadding) {
  EXPECT_EQ(base64UrlEncode(std::string_view("\xFB\xFF\xBF\x00", 4)), "-_-_AA");
  EXPECT_EQ(base64UrlEncode(std::string_view("foob")), "Zm9vYg");
}

TEST(Base64Test, decodesWhatItEncodesAndRefusesAnythingElse) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(base64Decode(base64Encode(all), 1024), all);
  // Larger than one encoding chunk, and not a whole number of groups.
  std::string large(7 * 1024 * 1024 + 1, 'x');
  for (std::size_t i = 0; i < large.size(); i += 4097) large[i] = static_cast<char>(i);
  EXPECT_EQ(base64Decode(base64Encode(large), 16 * 1024 * 1024), large);

  EXPECT_EQ(base64Decode("Zm9v\nYmFy", 100), "foobar") << "line breaks are allowed";
  EXPECT_EQ(base64Decode("", 4), "");
  EXPECT_FALSE(base64Decode("Zm9v!", 100));
  EXPECT_FALSE(base64Decode("Zm9vYmFy", 4)) << "longer than the limit";
}

}  // namespace
}  // namespace qv
