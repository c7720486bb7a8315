#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Window.h"
#include "platform/linux/gtk/GtkWidgetSupport.h"
#include "platform/linux/system/GObjectRef.h"

namespace qv {

// A window of the application on GTK. Closing hides it (hide-on-close), so the same
// window comes back when shown again. With a full-size content view the content fills
// the whole window and the header bar (window buttons, and the application's menu bar
// when it has one) floats over its top; a transparent title bar lets the content show
// through. Movable by background wraps the content in a window handle. GTK cannot
// place windows, so center() leaves placement to the window manager, which centres
// new windows. Main thread only.
class GtkWindowAdapter final : public Window {
 public:
  GtkWindowAdapter(GtkApplication* application, const Rect& contentRect, std::uint32_t styleMask);
  ~GtkWindowAdapter() override;
  GtkWindowAdapter(const GtkWindowAdapter&) = delete;
  GtkWindowAdapter& operator=(const GtkWindowAdapter&) = delete;

  GtkWindow* gtkWindow() const { return GTK_WINDOW(window_.get()); }

  void setTitle(const std::string& title) override;
  std::string title() const override { return title_; }
  void setTitleHidden(bool hidden) override;
  void setTitlebarAppearsTransparent(bool transparent) override;
  void setMovableByWindowBackground(bool movable) override;
  void setContentView(std::shared_ptr<View> view) override;
  void center() override {}
  void makeKeyAndOrderFront() override;
  bool isVisible() const override;
  void performClose() override;
  void performMiniaturize() override;

 private:
  void placeContent();

  GObjectRef<GtkWidget> window_;
  GtkWidget* overlay_ = nullptr;    // owned by the window
  GtkWidget* headerBar_ = nullptr;  // owned by the overlay
  GtkWidget* titleLabel_ = nullptr;
  GtkWidget* handle_ = nullptr;
  std::unique_ptr<WidgetStyle> headerStyle_;
  std::unique_ptr<WidgetStyle> menuBarStyle_;  // when the application has a menu bar
  std::shared_ptr<View> content_;
  std::string title_;
  bool fullSizeContent_ = false;
  bool movable_ = false;
};

}  // namespace qv
