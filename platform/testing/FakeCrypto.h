#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>

#include "platform/Crypto.h"

namespace qv::testing {

// Real SHA-256; random bytes that are either scripted, a fixed counting pattern, or a
// failure, as the test chooses. Thread-safe.
class FakeCrypto final : public Crypto {
 public:
  bool randomBytes(std::span<std::uint8_t> out) override;
  Sha256Digest sha256(std::span<const std::uint8_t> data) override;

  // The next randomBytes calls take their bytes from here first.
  void queueRandom(std::span<const std::uint8_t> bytes);
  void setFailRandom(bool fail) { failRandom_ = fail; }

 private:
  std::mutex mutex_;
  std::deque<std::uint8_t> scripted_;
  std::uint8_t counter_ = 0;
  std::atomic<bool> failRandom_ = false;
};

}  // namespace qv::testing
