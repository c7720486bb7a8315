#pragma once

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <functional>
#include <memory>

#include "platform/WebView.h"
#include "platform/linux/system/GObjectRef.h"

namespace qv {

class WebKitDevelopmentTrust;
class WebKitPopoverWindows;

// An undecorated, fixed-size top-level window that plays the browser's popover. Sizes in
// points map to GTK's logical pixels, each side clamped to 0…8192. Closing it (from the
// window manager) only hides it, as the popover would. It is listed in `registry` from
// construction to destruction; destroying it destroys the GTK window. Its content view
// runs in the web process of the view `processPeer` returns at the time, if any.
//
// Main thread only.
class GtkPopoverWindow final : public PopoverWindow {
 public:
  using ProcessPeer = std::function<GObjectRef<WebKitWebView>()>;
  GtkPopoverWindow(std::shared_ptr<WebKitDevelopmentTrust> trust,
                   std::shared_ptr<WebKitPopoverWindows> registry, ContentSize size,
                   ProcessPeer processPeer = nullptr);
  ~GtkPopoverWindow() override;
  GtkPopoverWindow(const GtkPopoverWindow&) = delete;
  GtkPopoverWindow& operator=(const GtkPopoverWindow&) = delete;

  void show() override;
  void hide() override;
  bool isVisible() const override;

  void setContentSize(ContentSize size) override;
  // The content's allocated size while shown and mapped; the requested size otherwise.
  ContentSize contentSize() const override;

  // Puts a new (not hidden) web view in the window, in place of any earlier one.
  std::unique_ptr<WebView> makeContentWebView() override;

 private:
  // A window that cannot be resized takes the size of its content's request.
  void applySize();

  std::shared_ptr<WebKitDevelopmentTrust> trust_;
  std::shared_ptr<WebKitPopoverWindows> registry_;
  ContentSize size_;
  ProcessPeer processPeer_;
  GObjectRef<GtkWindow> window_;
};

}  // namespace qv
