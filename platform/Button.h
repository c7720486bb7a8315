#pragma once

#include <functional>
#include <string>

#include "platform/Widget.h"

namespace qv {

// How a push button is drawn, enabled and disabled.
struct ButtonStyle {
  Color background;
  Color titleColor;
  Color disabledBackground;
  Color disabledTitleColor;
  Color disabledBorder;
  double cornerRadius = 6;
  double fontSize = 13;

  bool operator==(const ButtonStyle&) const = default;
};

// A push button. Its action runs on the main thread when the user clicks it while it
// is enabled.
class Button : public Widget {
 public:
  virtual void setTitle(const std::string& title) = 0;
  virtual std::string title() const = 0;
  virtual void setEnabled(bool enabled) = 0;
  virtual bool isEnabled() const = 0;
  virtual void setAction(std::function<void()> action) = 0;
  virtual void setStyle(const ButtonStyle& style) = 0;
};

}  // namespace qv
