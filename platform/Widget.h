#pragma once

#include <memory>
#include <optional>

#include "platform/Color.h"

namespace qv {

// A rectangle in points, origin at the top left corner of the parent, y growing down.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  bool operator==(const Rect&) const = default;
};

// Something drawn on screen inside a view. All widgets are main-thread only; their
// owners hold them through shared_ptr and the parent view keeps its children alive.
class Widget {
 public:
  virtual ~Widget() = default;
  virtual void setFrame(const Rect& frame) = 0;
  virtual Rect frame() const = 0;
  virtual void setHidden(bool hidden) = 0;
  virtual bool isHidden() const = 0;
};

// A container: its subviews are placed at their frames.
class View : public Widget {
 public:
  virtual void addSubview(std::shared_ptr<Widget> subview) = 0;
  // Absent: transparent.
  virtual void setBackgroundColor(const std::optional<Color>& color) = 0;
};

}  // namespace qv
