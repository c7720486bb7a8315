#pragma once

#include <cstdint>
#include <memory>

#include "platform/Button.h"
#include "platform/ImageView.h"
#include "platform/TextLabel.h"
#include "platform/Widget.h"
#include "platform/Window.h"

namespace qv {

// Makes the user-interface objects of the platform. Main thread only. Every result is
// set (never null), starts visible, with an empty frame.
class ViewFactory {
 public:
  virtual ~ViewFactory() = default;
  virtual std::shared_ptr<View> makeView() = 0;
  virtual std::shared_ptr<ImageView> makeImageView() = 0;
  virtual std::shared_ptr<TextLabel> makeTextLabel() = 0;
  virtual std::shared_ptr<Button> makeButton() = 0;
  // A hidden window whose content area has the size of `contentRect`; `styleMask`
  // combines WindowStyleMask bits.
  virtual std::shared_ptr<Window> makeWindow(const Rect& contentRect, std::uint32_t styleMask) = 0;
};

}  // namespace qv
