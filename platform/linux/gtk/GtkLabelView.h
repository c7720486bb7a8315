#pragma once

#include <vector>

#include "platform/TextLabel.h"
#include "platform/linux/gtk/GtkWidgetSupport.h"

namespace qv {

// Text over GtkLabel: each run gets its size (in pixels, the unit of frames) and
// weight as Pango attributes; the colour comes from the widget's own style. The text
// starts at the top of the frame. Main thread only.
class GtkLabelView final : public GtkWidgetBase<TextLabel> {
 public:
  GtkLabelView();
  void setText(const std::vector<TextRun>& runs) override;
  void setTextColor(const Color& color) override;
  void setAlignment(TextAlignment alignment) override;

 private:
  WidgetStyle style_;
};

}  // namespace qv
