#include "safari-host/ToolbarButton.h"

#include <gtk/gtk.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "safari-host/Refs.h"
#include "safari-host/ToolbarImage.h"

namespace qv::host {
namespace {

std::vector<guchar> pixelsOf(GdkTexture* texture) {
  int width = gdk_texture_get_width(texture);
  int height = gdk_texture_get_height(texture);
  std::vector<guchar> pixels(static_cast<std::size_t>(width) * height * 4);
  gdk_texture_download(texture, pixels.data(), static_cast<gsize>(width) * 4);
  return pixels;
}

// The extension's resource image (a PNG in Contents/Resources) showing the same pixels
// as `texture`: lets automation say which image a script chose.
std::optional<std::string> matchingResourceImage(const std::string& bundlePath,
                                                 GdkTexture* texture) {
  std::error_code error;
  std::filesystem::directory_iterator entries(
      std::filesystem::path(bundlePath) / "Contents" / "Resources", error);
  std::optional<std::vector<guchar>> wanted;
  for (std::filesystem::directory_iterator end; !error && entries != end;
       entries.increment(error)) {
    const std::filesystem::directory_entry& entry = *entries;
    if (entry.path().extension() != ".png") continue;
    GdkTexture* candidate = gdk_texture_new_from_filename(entry.path().c_str(), nullptr);
    if (candidate == nullptr) continue;
    bool same = gdk_texture_get_width(candidate) == gdk_texture_get_width(texture) &&
                gdk_texture_get_height(candidate) == gdk_texture_get_height(texture);
    if (same) {
      if (!wanted) wanted = pixelsOf(texture);
      same = pixelsOf(candidate) == *wanted;
    }
    g_object_unref(candidate);
    if (same) return entry.path().filename().string();
  }
  return std::nullopt;
}

}  // namespace

ToolbarButton::ToolbarButton(std::shared_ptr<const ExtensionInfo> extension,
                             std::function<void()> onClicked)
    : extension_(std::move(extension)),
      onClicked_(std::move(onClicked)),
      ref_(makeRef("toolbarItem")) {
  GtkWidget* button = gtk_button_new();
  button_ = GObjectRef<GtkWidget>::sink(button);
  gtk_widget_add_css_class(button, "qv-toolbar-item");

  GtkWidget* content = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
  image_ = gtk_image_new();
  gtk_image_set_pixel_size(GTK_IMAGE(image_), 16);
  std::string label =
      extension_->toolbarItem ? extension_->toolbarItem->label : extension_->displayName;
  label_ = gtk_label_new(label.c_str());
  gtk_box_append(GTK_BOX(content), image_);
  gtk_box_append(GTK_BOX(content), label_);

  GtkWidget* overlay = gtk_overlay_new();
  gtk_overlay_set_child(GTK_OVERLAY(overlay), content);
  badge_ = gtk_label_new("");
  gtk_widget_add_css_class(badge_, "qv-badge");
  gtk_widget_set_halign(badge_, GTK_ALIGN_END);
  gtk_widget_set_valign(badge_, GTK_ALIGN_START);
  gtk_widget_set_can_target(badge_, FALSE);
  gtk_widget_set_visible(badge_, FALSE);
  gtk_overlay_add_overlay(GTK_OVERLAY(overlay), badge_);
  gtk_button_set_child(GTK_BUTTON(button), overlay);

  gtk_widget_set_tooltip_text(button, label.c_str());
  gtk_accessible_update_property(GTK_ACCESSIBLE(button), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 label.c_str(), -1);
  g_signal_connect_swapped(button, "clicked", G_CALLBACK(+[](ToolbarButton* self) {
                             if (self->onClicked_) self->onClicked_();
                           }),
                           this);
  resetImage();
}

ToolbarButton::~ToolbarButton() {
  g_signal_handlers_disconnect_by_data(button_.get(), this);
  if (GtkWidget* parent = gtk_widget_get_parent(button_.get())) {
    if (GTK_IS_BOX(parent)) gtk_box_remove(GTK_BOX(parent), button_.get());
  }
}

void ToolbarButton::setBadgeText(const std::string& text) {
  // A badge is a few characters; keep a runaway one from stretching the toolbar.
  constexpr glong kMaxBadgeCharacters = 16;
  if (g_utf8_strlen(text.c_str(), -1) > kMaxBadgeCharacters) {
    GCharPtr shortened(g_utf8_substring(text.c_str(), 0, kMaxBadgeCharacters));
    badgeText_ = shortened.get();
  } else {
    badgeText_ = text;
  }
  gtk_label_set_text(GTK_LABEL(badge_), badgeText_.c_str());
  gtk_widget_set_visible(badge_, !badgeText_.empty());
}

bool ToolbarButton::setImage(const std::string& bytes) {
  GObjectRef<GdkTexture> texture = decodeToolbarImage(bytes);
  if (!texture) return false;
  gtk_image_set_from_paintable(GTK_IMAGE(image_), GDK_PAINTABLE(texture.get()));
  customTexture_ = std::move(texture);
  customImage_ = true;
  gtk_widget_set_visible(image_, TRUE);
  gtk_widget_set_visible(label_, FALSE);
  return true;
}

void ToolbarButton::resetImage() {
  customImage_ = false;
  customTexture_.reset();
  defaultImageLoaded_ = false;
  gtk_image_clear(GTK_IMAGE(image_));
  const auto& item = extension_->toolbarItem;
  if (item && item->imagePath) {
    GError* error = nullptr;
    GdkTexture* texture = gdk_texture_new_from_filename(item->imagePath->c_str(), &error);
    g_clear_error(&error);
    if (texture != nullptr) {
      gtk_image_set_from_paintable(GTK_IMAGE(image_), GDK_PAINTABLE(texture));
      g_object_unref(texture);
      defaultImageLoaded_ = true;
    }
  }
  // Without an image the label stands in, so the button is never blank.
  gtk_widget_set_visible(image_, defaultImageLoaded_);
  gtk_widget_set_visible(label_, !defaultImageLoaded_);
}

bool ToolbarButton::hasImage() const {
  return customImage_ || defaultImageLoaded_;
}

std::optional<std::string> ToolbarButton::imageName() const {
  // Found only when asked (automation): it decodes every image of the bundle.
  if (customImage_) return matchingResourceImage(extension_->bundlePath, customTexture_.get());
  if (!defaultImageLoaded_) return std::nullopt;
  return extension_->toolbarItem->imageName;
}

void ToolbarButton::setEnabled(bool enabled) {
  gtk_widget_set_sensitive(button_.get(), enabled);
}

bool ToolbarButton::isEnabled() const {
  return gtk_widget_get_sensitive(button_.get());
}

}  // namespace qv::host
