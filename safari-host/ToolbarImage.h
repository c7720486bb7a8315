#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "platform/linux/system/GObjectRef.h"

typedef struct _GdkTexture GdkTexture;

namespace qv::host {

// A toolbar icon is drawn at 16 points; anything past this is not one, and decoding it
// would only cost memory.
inline constexpr std::uint32_t kMaxToolbarImageSide = 1024;

// The width and height a PNG's header declares, read before any pixel is decoded;
// absent when the bytes do not start like a PNG.
std::optional<std::pair<std::uint32_t, std::uint32_t>> pngSize(const std::string& bytes);

// An image an extension sent for its toolbar item (toolbarItem.setImage): PNG bytes
// whose declared sides are 1…kMaxToolbarImageSide, decoded. Null for anything else.
// Any thread that may use GDK's texture loaders (no display needed).
GObjectRef<GdkTexture> decodeToolbarImage(const std::string& png);

}  // namespace qv::host
