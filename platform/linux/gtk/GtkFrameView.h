#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/Widget.h"
#include "platform/linux/gtk/GtkWidgetSupport.h"

namespace qv {

// A container that places each subview at its frame, as the Mac's views do: its size
// is its own frame's size, and every child gets exactly its frame (grown to the child's
// minimum size if the frame is smaller). Keeps its subviews alive. Main thread only.
class GtkFrameView final : public GtkWidgetBase<View> {
 public:
  GtkFrameView();
  void addSubview(std::shared_ptr<Widget> subview) override;
  void setBackgroundColor(const std::optional<Color>& color) override;

 private:
  WidgetStyle style_;
  std::vector<std::shared_ptr<Widget>> subviews_;
};

}  // namespace qv
