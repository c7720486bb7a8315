#pragma once

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/linux/system/GObjectRef.h"

namespace qv::test {

struct Pixel {
  int red, green, blue;
};

// A picture of `widget` (which must have a parent) drawn the way its window draws it,
// by the window's own renderer.
class Shot {
 public:
  explicit Shot(GtkWidget* widget) {
    GtkWidget* parent = gtk_widget_get_parent(widget);
    graphene_rect_t placed;
    if (!parent || !gtk_widget_compute_bounds(widget, parent, &placed)) return;
    int width = gtk_widget_get_width(widget);
    int height = gtk_widget_get_height(widget);
    GtkSnapshot* snapshot = gtk_snapshot_new();
    graphene_point_t origin = GRAPHENE_POINT_INIT(-placed.origin.x, -placed.origin.y);
    gtk_snapshot_translate(snapshot, &origin);
    gtk_widget_snapshot_child(parent, widget, snapshot);
    GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
    GskRenderer* renderer = gtk_native_get_renderer(gtk_widget_get_native(widget));
    graphene_rect_t bounds = GRAPHENE_RECT_INIT(0, 0, float(width), float(height));
    if (node && renderer) {
      texture_ = GObjectRef<GdkTexture>(gsk_renderer_render_texture(renderer, node, &bounds));
    }
    if (node) gsk_render_node_unref(node);
    if (texture_) {
      width_ = gdk_texture_get_width(texture_.get());
      height_ = gdk_texture_get_height(texture_.get());
      pixels_.resize(std::size_t(width_) * height_ * 4);
      gdk_texture_download(texture_.get(), pixels_.data(), std::size_t(width_) * 4);
    }
  }
  Shot(const Shot&) = delete;
  Shot& operator=(const Shot&) = delete;

  bool valid() const { return bool(texture_); }
  int width() const { return width_; }
  int height() const { return height_; }
  bool save(const std::string& path) const {
    return gdk_texture_save_to_png(texture_.get(), path.c_str());
  }
  // Opaque pixels only, so premultiplication does not matter.
  Pixel at(int x, int y) const {
    const guchar* p = &pixels_[(std::size_t(y) * width_ + x) * 4];  // B G R A
    return Pixel{p[2], p[1], p[0]};
  }

 private:
  GObjectRef<GdkTexture> texture_;
  int width_ = 0;
  int height_ = 0;
  std::vector<guchar> pixels_;
};

inline ::testing::AssertionResult near(const Pixel& pixel, std::uint32_t rgb) {
  Pixel want{int(rgb >> 16 & 255), int(rgb >> 8 & 255), int(rgb & 255)};
  if (std::abs(pixel.red - want.red) <= 3 && std::abs(pixel.green - want.green) <= 3 &&
      std::abs(pixel.blue - want.blue) <= 3) {
    return ::testing::AssertionSuccess();
  }
  char text[80];
  std::snprintf(text, sizeof text, "pixel %02X%02X%02X, want %06X", pixel.red, pixel.green,
                pixel.blue, rgb);
  return ::testing::AssertionFailure() << text;
}

// Where screenshots go: build/screenshots/<name>.png.
inline std::string screenshotPath(const std::string& name) {
  std::filesystem::create_directories(QV_SCREENSHOT_DIR);
  return std::string(QV_SCREENSHOT_DIR) + "/" + name + ".png";
}

}  // namespace qv::test
