#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "platform/linux/system/OpenSslCrypto.h"
#include "platform/linux/system/SyslogSystemLog.h"
#include "platform/linux/system/SystemClock.h"
#include "tests/support/TempDir.h"

namespace qv {
namespace {

std::string hex(const Crypto::Sha256Digest& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : digest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 0x0f];
  }
  return text;
}

std::span<const std::uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(OpenSslCryptoTest, Sha256MatchesKnownVectors) {
  OpenSslCrypto crypto;
  EXPECT_EQ(hex(crypto.sha256(bytesOf("abc"))),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex(crypto.sha256(bytesOf(""))),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex(crypto.sha256(bytesOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"))),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(OpenSslCryptoTest, RandomBytesFillTheWholeBufferAndDiffer) {
  OpenSslCrypto crypto;
  std::set<std::vector<std::uint8_t>> seen;
  for (int i = 0; i < 8; ++i) {
    std::vector<std::uint8_t> buffer(64, 0);
    ASSERT_TRUE(crypto.randomBytes(buffer));
    seen.insert(buffer);
  }
  EXPECT_EQ(seen.size(), 8u);
  // The tail is filled as well as the head: 32 zero bytes in a row would be a 2^-256 event.
  for (const auto& buffer : seen) {
    EXPECT_NE(std::vector<std::uint8_t>(buffer.begin() + 32, buffer.end()),
              std::vector<std::uint8_t>(32, 0));
  }
  std::vector<std::uint8_t> empty;
  EXPECT_TRUE(crypto.randomBytes(empty));
}

TEST(SystemClockTest, ReadsTheWallClockInSecondsWithFractions) {
  SystemClock clock;
  // Against CLOCK_REALTIME itself: time() reads the coarse clock, which may lag behind by
  // a tick and so read the second before.
  auto realtime = [] {
    timespec at{};
    clock_gettime(CLOCK_REALTIME, &at);
    return static_cast<double>(at.tv_sec) + static_cast<double>(at.tv_nsec) / 1e9;
  };
  double before = realtime();
  Date now = clock.now();
  double after = realtime();
  EXPECT_GE(now.secondsSince1970, before);
  EXPECT_LE(now.secondsSince1970, after);

  // Sub-second precision: successive readings differ by less than a second but do move.
  Date first = clock.now();
  Date later = first;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (later == first && std::chrono::steady_clock::now() < deadline) later = clock.now();
  EXPECT_GT(later - first, 0.0);
  EXPECT_LT(later - first, 0.5);
}

TEST(SyslogSystemLogTest, MirrorsToStderrOnlyWhenAsked) {
  {
    test::ScopedEnv mirror("QV_SYSTEM_LOG_STDERR", "1");
    SyslogSystemLog log;
    testing::internal::CaptureStderr();
    log.error("pagePassToBgPage: Invalid json field");
    log.error("second line");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "pagePassToBgPage: Invalid json field\nsecond line\n");
  }
  {
    test::ScopedEnv mirror("QV_SYSTEM_LOG_STDERR", "0");
    SyslogSystemLog log;
    testing::internal::CaptureStderr();
    log.error("quiet");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
}

}  // namespace
}  // namespace qv
