#include "platform/linux/gtk/GtkViewFactory.h"

#include <utility>

#include "platform/linux/gtk/GtkButtonView.h"
#include "platform/linux/gtk/GtkFrameView.h"
#include "platform/linux/gtk/GtkLabelView.h"
#include "platform/linux/gtk/GtkPictureView.h"
#include "platform/linux/gtk/GtkWindowAdapter.h"

namespace qv {

GtkViewFactory::GtkViewFactory(GtkApplication* application, std::shared_ptr<Bundle> bundle)
    : application_(application), bundle_(std::move(bundle)) {}

std::shared_ptr<View> GtkViewFactory::makeView() {
  return std::make_shared<GtkFrameView>();
}

std::shared_ptr<ImageView> GtkViewFactory::makeImageView() {
  return std::make_shared<GtkPictureView>(bundle_);
}

std::shared_ptr<TextLabel> GtkViewFactory::makeTextLabel() {
  return std::make_shared<GtkLabelView>();
}

std::shared_ptr<Button> GtkViewFactory::makeButton() {
  return std::make_shared<GtkButtonView>();
}

std::shared_ptr<Window> GtkViewFactory::makeWindow(const Rect& contentRect,
                                                   std::uint32_t styleMask) {
  return std::make_shared<GtkWindowAdapter>(application_, contentRect, styleMask);
}

}  // namespace qv
