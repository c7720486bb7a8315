#include "tests/support/gtk/PngImages.h"

#include <gtk/gtk.h>

#include <cstdlib>
#include <vector>

namespace qv::test {

std::string solidPng(int width, int height, unsigned char red, unsigned char green,
                     unsigned char blue) {
  std::string pixels;
  for (int index = 0; index < width * height; ++index) {
    pixels += static_cast<char>(red);
    pixels += static_cast<char>(green);
    pixels += static_cast<char>(blue);
    pixels += static_cast<char>(0xFF);
  }
  GBytes* bytes = g_bytes_new(pixels.data(), pixels.size());
  GdkTexture* texture = gdk_memory_texture_new(width, height, GDK_MEMORY_R8G8B8A8, bytes,
                                               static_cast<gsize>(width) * 4);
  g_bytes_unref(bytes);
  GBytes* png = gdk_texture_save_to_png_bytes(texture);
  g_object_unref(texture);
  gsize size = 0;
  const char* data = static_cast<const char*>(g_bytes_get_data(png, &size));
  std::string result(data, size);
  g_bytes_unref(png);
  return result;
}

long countPixels(const std::string& pngPath, unsigned char red, unsigned char green,
                 unsigned char blue, int tolerance) {
  GdkTexture* texture = gdk_texture_new_from_filename(pngPath.c_str(), nullptr);
  if (texture == nullptr) return -1;
  int width = gdk_texture_get_width(texture);
  int height = gdk_texture_get_height(texture);
  std::vector<unsigned char> data(static_cast<std::size_t>(width) * height * 4);
  // Downloads as cairo's ARGB32: B, G, R, A in memory on little-endian machines.
  gdk_texture_download(texture, data.data(), static_cast<gsize>(width) * 4);
  g_object_unref(texture);
  long count = 0;
  for (std::size_t offset = 0; offset < data.size(); offset += 4) {
    if (std::abs(data[offset + 2] - red) <= tolerance &&
        std::abs(data[offset + 1] - green) <= tolerance &&
        std::abs(data[offset] - blue) <= tolerance) {
      ++count;
    }
  }
  return count;
}

}  // namespace qv::test
