#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/system/GObjectRef.h"
#include "safari-host/ExtensionInfo.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _GdkTexture GdkTexture;

namespace qv::host {

// One extension's toolbar item in one window (SFSafariToolbarItem): a button with the
// extension's image (or one the extension set), its label as tooltip, and a badge. Also
// remembers whether this window's popover is showing. Owned by its BrowserWindow; main
// thread only.
class ToolbarButton {
 public:
  using Clock = std::chrono::steady_clock;

  ToolbarButton(std::shared_ptr<const ExtensionInfo> extension, std::function<void()> onClicked);
  ~ToolbarButton();
  ToolbarButton(const ToolbarButton&) = delete;
  ToolbarButton& operator=(const ToolbarButton&) = delete;

  const std::string& ref() const { return ref_; }
  const ExtensionInfo& extension() const { return *extension_; }
  GtkWidget* widget() const { return button_.get(); }

  void setBadgeText(const std::string& text);
  const std::string& badgeText() const { return badgeText_; }
  // Shows PNG bytes; false, changing nothing, when they are not a PNG of at most
  // 1024 × 1024 pixels (checked before decoding) or do not decode.
  bool setImage(const std::string& bytes);
  // Back to the extension's own image.
  void resetImage();
  bool hasImage() const;
  // Which of the extension's images shows, as a file name in Contents/Resources: the
  // Info.plist image while that shows; for an image from toolbarItem.setImage, the
  // resource PNG with the same pixels. Absent when none matches or there is no image.
  std::optional<std::string> imageName() const;
  void setEnabled(bool enabled);
  bool isEnabled() const;
  bool isPopover() const {
    return extension_->toolbarItem && extension_->toolbarItem->action == "Popover";
  }

  // Popover state, kept by BrowserWindow.
  struct PopoverState {
    bool shown = false;
    Clock::time_point shownAt;
    bool focusTaken = false;  // the popover's own window took the focus
    Clock::time_point closedByFocusAt;
  };
  PopoverState& popover() { return popover_; }

 private:
  std::shared_ptr<const ExtensionInfo> extension_;
  std::function<void()> onClicked_;
  std::string ref_;
  GObjectRef<GtkWidget> button_;
  GtkWidget* image_ = nullptr;  // owned by button_
  GtkWidget* badge_ = nullptr;  // owned by button_
  GtkWidget* label_ = nullptr;  // owned by button_; shown when there is no image
  std::string badgeText_;
  bool customImage_ = false;
  GObjectRef<GdkTexture> customTexture_;  // the image setImage() shows
  bool defaultImageLoaded_ = false;
  PopoverState popover_;
};

}  // namespace qv::host
