// An extension's toolbarItem.setImage ({"png": base64}) decodes to an icon within the
// size limit, or to nothing; never to a crash or an image larger than its header said.
// Input: the base64 text as the extension sends it.
#include <gtk/gtk.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/Base64.h"
#include "safari-host/ToolbarImage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<std::string> png = qv::base64Decode(text, 8 * 1024 * 1024);
  // Raw bytes too: the decoder after base64 is what matters most.
  for (const std::string& bytes : {png.value_or(""), std::string(text)}) {
    qv::GObjectRef<GdkTexture> texture = qv::host::decodeToolbarImage(bytes);
    if (!texture) continue;
    auto declared = qv::host::pngSize(bytes);
    if (!declared) std::abort();
    const int width = gdk_texture_get_width(texture.get());
    const int height = gdk_texture_get_height(texture.get());
    if (width <= 0 || height <= 0 || static_cast<std::uint32_t>(width) != declared->first ||
        static_cast<std::uint32_t>(height) != declared->second) {
      std::abort();
    }
  }
  return 0;
}
