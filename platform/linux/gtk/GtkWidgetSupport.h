#pragma once

#include <gtk/gtk.h>

#include <string>

#include "platform/Color.h"
#include "platform/Widget.h"
#include "platform/linux/system/GObjectRef.h"

namespace qv {

// "rgba(r, g, b, a)" for a style sheet.
std::string cssColor(const Color& color);

// The fonts text is set in, first one installed wins: the usual desktop interface
// fonts, then metric-compatible stand-ins for the Mac's, so that the fixed-size screen
// keeps its proportions.
inline constexpr const char* interfaceFontFamilies =
    "Cantarell, \"Inter\", \"Noto Sans\", \"Nimbus Sans\", Helvetica, Arial, sans-serif";

// Style rules that apply to one widget only: a CSS class of its own plus a provider at
// application priority on that widget's style context. Replacing the rules restyles the
// widget at once. Main thread only.
class WidgetStyle {
 public:
  explicit WidgetStyle(GtkWidget* widget);
  WidgetStyle(const WidgetStyle&) = delete;
  WidgetStyle& operator=(const WidgetStyle&) = delete;

  // `rules` are declaration blocks keyed by selector suffix, written with the
  // placeholder "SELF" for the widget's own class, e.g. "SELF { color: red; }".
  void setRules(const std::string& rules);

 private:
  GObjectRef<GtkCssProvider> provider_;
  std::string className_;
};

// What every GTK-backed widget gives the containers and windows it is put into.
class GtkWidgetHandle {
 public:
  virtual ~GtkWidgetHandle() = default;
  virtual GtkWidget* gtkWidget() const = 0;
};

// The frame a container laid out by frames (GtkFrameView) gives `widget`; containers
// read it when they allocate. storedFrame is null for a widget without one.
void storeFrame(GtkWidget* widget, const Rect& frame);
const Rect* storedFrame(GtkWidget* widget);

// The common part of the GTK widgets: owns a reference to the widget, keeps its frame
// and maps hidden to GTK's visibility.
template <typename Interface>
class GtkWidgetBase : public Interface, public GtkWidgetHandle {
 public:
  // Takes the new widget's floating reference.
  explicit GtkWidgetBase(GtkWidget* widget) : widget_(GObjectRef<GtkWidget>::sink(widget)) {
    storeFrame(widget_.get(), frame_);
  }

  GtkWidget* gtkWidget() const override { return widget_.get(); }

  void setFrame(const Rect& frame) override {
    frame_ = frame;
    storeFrame(widget_.get(), frame);
  }
  Rect frame() const override { return frame_; }
  void setHidden(bool hidden) override { gtk_widget_set_visible(widget_.get(), !hidden); }
  bool isHidden() const override { return !gtk_widget_get_visible(widget_.get()); }

 protected:
  GObjectRef<GtkWidget> widget_;
  Rect frame_;
};

}  // namespace qv
