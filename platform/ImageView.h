#pragma once

#include <string>

#include "platform/Widget.h"

namespace qv {

// Shows an image resource of the main bundle, scaled to fit its frame.
class ImageView : public Widget {
 public:
  // `name` is the resource name without its ".png"; an unknown name shows nothing.
  virtual void setImageNamed(const std::string& name) = 0;
};

}  // namespace qv
