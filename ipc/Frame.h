#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Json.h"

namespace qv::ipc {

// Messages travel as frames: a 4-byte unsigned little-endian length, then that many
// bytes of UTF-8 JSON holding one object.
inline constexpr std::uint32_t maxMessageSize = 16 * 1024 * 1024;

// The deepest nesting accepted from another process. Copying or dumping a JSON value
// recurses once per level, so a hostile 16 MiB frame of "[[[[…" would otherwise run the
// stack out.
inline constexpr std::size_t maxJsonDepth = 200;

// True when no array or object in `value` sits deeper than `maxDepth` levels (a scalar
// has depth 0). Iterative: safe on any input. Any thread.
bool jsonDepthWithin(const Json& value, std::size_t maxDepth = maxJsonDepth);

// Why a message has no frame.
enum class EncodeFailure { NotUtf8, TooLarge };

// One frame for `message`; absent when the JSON is not valid UTF-8 or its frame would
// exceed maxMessageSize, with the reason in `failure` when given.
std::optional<std::string> encodeFrame(const Json& message, EncodeFailure* failure = nullptr);

// One message taken off the wire.
struct Incoming {
  // The object. For a frame nested deeper than maxJsonDepth, only its top-level scalar
  // members ("call", "id", "reply"), so that the receiver can still answer it.
  Json message;
  bool tooDeep = false;
};

// Splits a byte stream into messages, whatever sizes it arrives in. Checks each length
// before it reads the body, and the nesting before it builds the value.
class FrameDecoder {
 public:
  // Appends bytes. False on a protocol error (see error()); the decoder is then dead.
  bool feed(const char* data, std::size_t size);
  // The next complete message, if one has arrived.
  std::optional<Incoming> next();
  // True when a frame has started but not finished (a truncated message at EOF).
  bool hasPartialFrame() const { return !buffer_.empty(); }
  const std::string& error() const { return error_; }

 private:
  bool decode(std::string_view body);

  std::string buffer_;  // bytes of the frame that has not finished yet
  std::vector<Incoming> queue_;
  std::size_t queueHead_ = 0;
  std::string error_;
};

}  // namespace qv::ipc
