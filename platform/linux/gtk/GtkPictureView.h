#pragma once

#include <memory>
#include <string>

#include "platform/Bundle.h"
#include "platform/ImageView.h"
#include "platform/linux/gtk/GtkWidgetSupport.h"

namespace qv {

// An image view over GtkPicture: the PNG resource of `bundle`, scaled to fit the frame
// with its aspect ratio kept. Main thread only.
class GtkPictureView final : public GtkWidgetBase<ImageView> {
 public:
  explicit GtkPictureView(std::shared_ptr<Bundle> bundle);
  void setImageNamed(const std::string& name) override;

 private:
  std::shared_ptr<Bundle> bundle_;
  std::string name_;
};

}  // namespace qv
