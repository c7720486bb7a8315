#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Widget.h"

namespace qv {

// Window style bits.
enum WindowStyleMask : std::uint32_t {
  windowStyleTitled = 1u << 0,
  windowStyleClosable = 1u << 1,
  windowStyleMiniaturizable = 1u << 2,
  windowStyleResizable = 1u << 3,
  windowStyleFullSizeContentView = 1u << 15,
};

// A top-level window of the application. Main thread only. Closing it hides it: the
// same window can be shown again.
class Window {
 public:
  virtual ~Window() = default;

  virtual void setTitle(const std::string& title) = 0;
  virtual std::string title() const = 0;
  // Hidden: the title is not drawn (the window keeps it for window lists).
  virtual void setTitleHidden(bool hidden) = 0;
  virtual void setTitlebarAppearsTransparent(bool transparent) = 0;
  virtual void setMovableByWindowBackground(bool movable) = 0;
  // The view that fills the content area; the window keeps it alive.
  virtual void setContentView(std::shared_ptr<View> view) = 0;
  virtual void center() = 0;

  // Shows the window (again) and puts it in front.
  virtual void makeKeyAndOrderFront() = 0;
  virtual bool isVisible() const = 0;
  virtual void performClose() = 0;
  virtual void performMiniaturize() = 0;
};

}  // namespace qv
