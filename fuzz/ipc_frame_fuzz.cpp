// Any byte stream on a connection (any process of the user may write to one) splits into
// the same messages however it is chunked, and every message decoded frames again into
// itself. Input: one byte seeding the chunk sizes, then the stream.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ipc/Frame.h"

namespace {

struct Decoded {
  std::vector<std::string> messages;  // dumped, with whether each was too deep
  bool failed = false;
};

Decoded decodeInChunks(const char* data, std::size_t size, std::uint8_t seed) {
  qv::ipc::FrameDecoder decoder;
  Decoded decoded;
  std::size_t offset = 0;
  std::uint32_t state = seed | 1u;
  while (offset < size && !decoded.failed) {
    std::size_t chunk = size;  // seed 0: everything at once
    if (seed != 0) {
      state = state * 1103515245u + 12345u;
      chunk = 1 + (state >> 16) % 64;
    }
    chunk = std::min(chunk, size - offset);
    decoded.failed = !decoder.feed(data + offset, chunk);
    offset += chunk;
    while (auto message = decoder.next()) {
      decoded.messages.push_back((message->tooDeep ? "deep " : "") + message->message.dump());
    }
  }
  return decoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const char* stream = reinterpret_cast<const char*>(data + 1);
  const Decoded whole = decodeInChunks(stream, size - 1, 0);
  const Decoded chunked = decodeInChunks(stream, size - 1, data[0]);
  if (whole.messages != chunked.messages || whole.failed != chunked.failed) std::abort();

  // Round trip: what came off the wire goes back on it unchanged.
  qv::ipc::FrameDecoder again;
  for (const std::string& dumped : whole.messages) {
    if (dumped.starts_with("deep ")) continue;
    qv::Json message = qv::Json::parse(dumped);
    std::optional<std::string> frame = qv::ipc::encodeFrame(message);
    if (!frame || !again.feed(frame->data(), frame->size())) std::abort();
    std::optional<qv::ipc::Incoming> back = again.next();
    if (!back || back->tooDeep || back->message != message) std::abort();
  }
  return 0;
}
