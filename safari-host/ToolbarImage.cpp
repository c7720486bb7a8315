#include "safari-host/ToolbarImage.h"

#include <gtk/gtk.h>

#include <cstring>

namespace qv::host {

std::optional<std::pair<std::uint32_t, std::uint32_t>> pngSize(const std::string& bytes) {
  static constexpr unsigned char kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  // Signature, then the IHDR chunk: length, "IHDR", width, height (big-endian).
  if (bytes.size() < 24 || std::memcmp(bytes.data(), kSignature, sizeof kSignature) != 0 ||
      bytes.compare(12, 4, "IHDR") != 0) {
    return std::nullopt;
  }
  auto word = [&](std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
  };
  return std::pair(word(16), word(20));
}

GObjectRef<GdkTexture> decodeToolbarImage(const std::string& png) {
  std::optional<std::pair<std::uint32_t, std::uint32_t>> size = pngSize(png);
  if (!size || size->first == 0 || size->second == 0 || size->first > kMaxToolbarImageSide ||
      size->second > kMaxToolbarImageSide) {
    return {};
  }
  GBytesPtr data(g_bytes_new(png.data(), png.size()));
  GError* error = nullptr;
  GObjectRef<GdkTexture> texture(gdk_texture_new_from_bytes(data.get(), &error));
  g_clear_error(&error);
  return texture;
}

}  // namespace qv::host
