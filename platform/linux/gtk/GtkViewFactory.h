#pragma once

#include <memory>

#include "platform/Bundle.h"
#include "platform/ViewFactory.h"

typedef struct _GtkApplication GtkApplication;

namespace qv {

// Makes GTK widgets: frame-placed containers, pictures from `bundle`'s PNG resources,
// labels, flat push buttons and windows of `application` (which may be null for windows
// outside any application, as in tests). Main thread only, after GTK is initialised;
// `application` must outlive the windows.
class GtkViewFactory final : public ViewFactory {
 public:
  GtkViewFactory(GtkApplication* application, std::shared_ptr<Bundle> bundle);

  std::shared_ptr<View> makeView() override;
  std::shared_ptr<ImageView> makeImageView() override;
  std::shared_ptr<TextLabel> makeTextLabel() override;
  std::shared_ptr<Button> makeButton() override;
  std::shared_ptr<Window> makeWindow(const Rect& contentRect, std::uint32_t styleMask) override;

 private:
  GtkApplication* application_;
  std::shared_ptr<Bundle> bundle_;
};

}  // namespace qv
