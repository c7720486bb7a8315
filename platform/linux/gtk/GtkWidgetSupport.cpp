#include "platform/linux/gtk/GtkWidgetSupport.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>

namespace qv {
namespace {

constexpr const char* frameKey = "qv-frame";

int channel(double value) {
  return static_cast<int>(std::lround(std::clamp(value, 0.0, 1.0) * 255.0));
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

}  // namespace

std::string cssColor(const Color& color) {
  char text[64];
  std::snprintf(text, sizeof text, "rgba(%d, %d, %d, %.3f)", channel(color.red),
                channel(color.green), channel(color.blue), std::clamp(color.alpha, 0.0, 1.0));
  return text;
}

WidgetStyle::WidgetStyle(GtkWidget* widget) : provider_(gtk_css_provider_new()) {
  static std::atomic<unsigned> next{0};
  className_ = "qv-style-" + std::to_string(next++);
  gtk_widget_add_css_class(widget, className_.c_str());
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  gtk_style_context_add_provider(gtk_widget_get_style_context(widget),
                                 GTK_STYLE_PROVIDER(provider_.get()),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  G_GNUC_END_IGNORE_DEPRECATIONS
}

void WidgetStyle::setRules(const std::string& rules) {
  std::string css = replaceAll(rules, "SELF", "." + className_);
  gtk_css_provider_load_from_data(provider_.get(), css.c_str(), -1);
}

void storeFrame(GtkWidget* widget, const Rect& frame) {
  g_object_set_data_full(G_OBJECT(widget), frameKey, new Rect(frame),
                         [](gpointer data) { delete static_cast<Rect*>(data); });
  if (GtkWidget* parent = gtk_widget_get_parent(widget)) gtk_widget_queue_resize(parent);
  gtk_widget_queue_resize(widget);
}

const Rect* storedFrame(GtkWidget* widget) {
  return static_cast<const Rect*>(g_object_get_data(G_OBJECT(widget), frameKey));
}

}  // namespace qv
