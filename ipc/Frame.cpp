#include "ipc/Frame.h"

#include <algorithm>
#include <utility>

namespace qv::ipc {
namespace {

// The deepest nesting of arrays and objects in JSON text, found without building the
// value. Brackets inside strings do not count.
std::size_t textNesting(std::string_view text) {
  std::size_t depth = 0;
  std::size_t deepest = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

}  // namespace

bool jsonDepthWithin(const Json& value, std::size_t maxDepth) {
  std::vector<std::pair<const Json*, std::size_t>> pending{{&value, 0}};
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    if (!node->is_structured()) continue;
    if (depth + 1 > maxDepth) return false;
    for (const Json& child : *node) pending.emplace_back(&child, depth + 1);
  }
  return true;
}

std::optional<std::string> encodeFrame(const Json& message, EncodeFailure* failure) {
  std::string body;
  try {
    body = message.dump();
  } catch (const Json::exception&) {
    if (failure != nullptr) *failure = EncodeFailure::NotUtf8;
    return std::nullopt;
  }
  if (body.size() > maxMessageSize) {
    if (failure != nullptr) *failure = EncodeFailure::TooLarge;
    return std::nullopt;
  }
  auto length = static_cast<std::uint32_t>(body.size());
  std::string frame(4, '\0');
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  return frame + body;
}

bool FrameDecoder::feed(const char* data, std::size_t size) {
  if (!error_.empty()) return false;
  buffer_.append(data, size);
  std::size_t offset = 0;
  while (buffer_.size() - offset >= 4) {
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i) {
      length |= static_cast<std::uint32_t>(static_cast<unsigned char>(buffer_[offset + i]))
                << (8 * i);
    }
    if (length > maxMessageSize) {
      error_ = "frame length " + std::to_string(length) + " exceeds the limit";
      return false;
    }
    if (buffer_.size() - offset - 4 < length) break;
    if (!decode(std::string_view(buffer_).substr(offset + 4, length))) return false;
    offset += 4 + length;
  }
  buffer_.erase(0, offset);
  return true;
}

bool FrameDecoder::decode(std::string_view body) {
  Incoming incoming;
  // The envelope is one level; arguments and results may nest maxJsonDepth below it.
  incoming.tooDeep = textNesting(body) > maxJsonDepth + 1;
  if (incoming.tooDeep) {
    // Nested members are skipped whole, never built; the top-level scalars remain.
    Json::parser_callback_t topLevelOnly = [](int depth, Json::parse_event_t event, Json&) {
      bool opens =
          event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start;
      return depth == 0 || !opens;
    };
    incoming.message = Json::parse(body, topLevelOnly, /*allow_exceptions=*/false);
  } else {
    incoming.message = Json::parse(body, nullptr, /*allow_exceptions=*/false);
  }
  if (incoming.message.is_discarded() || !incoming.message.is_object()) {
    error_ = "frame is not one JSON object";
    return false;
  }
  queue_.push_back(std::move(incoming));
  return true;
}

std::optional<Incoming> FrameDecoder::next() {
  if (queueHead_ == queue_.size()) {
    queue_.clear();
    queueHead_ = 0;
    return std::nullopt;
  }
  return std::move(queue_[queueHead_++]);
}

}  // namespace qv::ipc
