#include "platform/linux/gtk/GtkButtonView.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qv {
namespace {

// `color` moved toward white (amount > 0) or black (amount < 0).
Color shade(const Color& color, double amount) {
  double target = amount > 0 ? 1.0 : 0.0;
  double weight = std::abs(amount);
  auto mix = [&](double channel) { return channel + (target - channel) * weight; };
  return Color{mix(color.red), mix(color.green), mix(color.blue), color.alpha};
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

}  // namespace

GtkButtonView::GtkButtonView() : GtkWidgetBase<Button>(gtk_button_new()), style_(widget_.get()) {
  gtk_widget_set_cursor_from_name(widget_.get(), "pointer");
  gtk_widget_set_focus_on_click(widget_.get(), FALSE);
  g_signal_connect(widget_.get(), "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                     auto* self = static_cast<GtkButtonView*>(data);
                     // A copy: the action may replace itself.
                     if (auto action = self->action_) action();
                   }),
                   this);
}

GtkButtonView::~GtkButtonView() {
  g_signal_handlers_disconnect_by_data(widget_.get(), this);
}

void GtkButtonView::setTitle(const std::string& title) {
  title_ = title;
  gtk_button_set_label(GTK_BUTTON(widget_.get()), title.c_str());
}

void GtkButtonView::setEnabled(bool enabled) {
  gtk_widget_set_sensitive(widget_.get(), enabled);
}

bool GtkButtonView::isEnabled() const {
  return gtk_widget_get_sensitive(widget_.get());
}

void GtkButtonView::setStyle(const ButtonStyle& style) {
  std::string radius = number(style.cornerRadius) + "px";
  std::string size = number(style.fontSize) + "px";
  style_.setRules(
      "SELF { background: " + cssColor(style.background) +
      "; color: " + cssColor(style.titleColor) + "; border: 1px solid " +
      cssColor(style.background) + "; border-radius: " + radius +
      "; font-family: " + interfaceFontFamilies + "; font-size: " + size +
      "; font-weight: 600; box-shadow: none; outline: none; padding: 0 10px; min-height: 0;"
      " transition: none; }\n"
      "SELF:hover { background: " +
      cssColor(shade(style.background, 0.08)) +
      "; }\n"
      "SELF:active { background: " +
      cssColor(shade(style.background, -0.12)) +
      "; }\n"
      "SELF:disabled { background: " +
      cssColor(style.disabledBackground) + "; color: " + cssColor(style.disabledTitleColor) +
      "; border-color: " + cssColor(style.disabledBorder) + "; }\n");
}

}  // namespace qv
