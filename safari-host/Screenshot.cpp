#include "safari-host/Screenshot.h"

#include <gtk/gtk.h>

#include "safari-host/GObjectPtr.h"

namespace qv::host {

std::optional<std::string> saveScreenshot(GtkWidget* widget, const std::string& path) {
  int width = gtk_widget_get_width(widget);
  int height = gtk_widget_get_height(widget);
  GtkNative* native = gtk_widget_get_native(widget);
  GskRenderer* renderer = native != nullptr ? gtk_native_get_renderer(native) : nullptr;
  if (width <= 0 || height <= 0 || renderer == nullptr) return "the window is not on screen";

  GObjectPtr<GdkPaintable> paintable =
      GObjectPtr<GdkPaintable>::adopt(gtk_widget_paintable_new(widget));
  GtkSnapshot* snapshot = gtk_snapshot_new();
  gdk_paintable_snapshot(paintable.get(), GDK_SNAPSHOT(snapshot), width, height);
  GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
  if (node == nullptr) return "the window drew nothing";
  graphene_rect_t bounds =
      GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width), static_cast<float>(height));
  GdkTexture* texture = gsk_renderer_render_texture(renderer, node, &bounds);
  gsk_render_node_unref(node);
  if (texture == nullptr) return "rendering failed";
  GObjectPtr<GdkTexture> owned = GObjectPtr<GdkTexture>::adopt(texture);
  if (!gdk_texture_save_to_png(texture, path.c_str())) return "cannot write " + path;
  return std::nullopt;
}

}  // namespace qv::host
