#pragma once

#include <functional>
#include <string>

#include "platform/Button.h"
#include "platform/linux/gtk/GtkWidgetSupport.h"

namespace qv {

// A push button over GtkButton, drawn flat in the colours of its ButtonStyle; its
// insensitive state is the disabled look. Main thread only.
class GtkButtonView final : public GtkWidgetBase<Button> {
 public:
  GtkButtonView();
  ~GtkButtonView() override;

  void setTitle(const std::string& title) override;
  std::string title() const override { return title_; }
  void setEnabled(bool enabled) override;
  bool isEnabled() const override;
  void setAction(std::function<void()> action) override { action_ = std::move(action); }
  void setStyle(const ButtonStyle& style) override;

 private:
  WidgetStyle style_;
  std::string title_;
  std::function<void()> action_;
};

}  // namespace qv
