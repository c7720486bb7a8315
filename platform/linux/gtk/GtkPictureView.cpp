#include "platform/linux/gtk/GtkPictureView.h"

#include <optional>
#include <utility>

namespace qv {

GtkPictureView::GtkPictureView(std::shared_ptr<Bundle> bundle)
    : GtkWidgetBase<ImageView>(gtk_picture_new()), bundle_(std::move(bundle)) {
  gtk_picture_set_can_shrink(GTK_PICTURE(widget_.get()), TRUE);
  gtk_picture_set_content_fit(GTK_PICTURE(widget_.get()), GTK_CONTENT_FIT_CONTAIN);
}

void GtkPictureView::setImageNamed(const std::string& name) {
  if (name == name_) return;  // the same picture: nothing to reload
  name_ = name;
  std::optional<std::string> path = bundle_ ? bundle_->pathForResource(name, "png") : std::nullopt;
  gtk_picture_set_filename(GTK_PICTURE(widget_.get()), path ? path->c_str() : nullptr);
}

}  // namespace qv
