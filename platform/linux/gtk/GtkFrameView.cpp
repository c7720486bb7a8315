#include "platform/linux/gtk/GtkFrameView.h"

#include <algorithm>
#include <cmath>

namespace qv {
namespace {

int points(double value) {
  return static_cast<int>(std::lround(value));
}

void measure(GtkWidget* widget, GtkOrientation orientation, int /*forSize*/, int* minimum,
             int* natural, int* minimumBaseline, int* naturalBaseline) {
  const Rect* frame = storedFrame(widget);
  int size = 0;
  if (frame)
    size = points(orientation == GTK_ORIENTATION_HORIZONTAL ? frame->width : frame->height);
  *minimum = size;
  *natural = size;
  *minimumBaseline = -1;
  *naturalBaseline = -1;
}

void allocate(GtkWidget* widget, int /*width*/, int /*height*/, int /*baseline*/) {
  for (GtkWidget* child = gtk_widget_get_first_child(widget); child;
       child = gtk_widget_get_next_sibling(child)) {
    if (!gtk_widget_should_layout(child)) continue;
    const Rect* frame = storedFrame(child);
    Rect placed = frame ? *frame : Rect{};
    // GTK wants every child measured before it is allocated.
    int minimumWidth = 0;
    int minimumHeight = 0;
    gtk_widget_measure(child, GTK_ORIENTATION_HORIZONTAL, -1, &minimumWidth, nullptr, nullptr,
                       nullptr);
    gtk_widget_measure(child, GTK_ORIENTATION_VERTICAL, -1, &minimumHeight, nullptr, nullptr,
                       nullptr);
    GtkAllocation allocation{points(placed.x), points(placed.y),
                             std::max(points(placed.width), minimumWidth),
                             std::max(points(placed.height), minimumHeight)};
    gtk_widget_size_allocate(child, &allocation, -1);
  }
}

}  // namespace

GtkFrameView::GtkFrameView()
    : GtkWidgetBase<View>(gtk_box_new(GTK_ORIENTATION_VERTICAL, 0)), style_(widget_.get()) {
  gtk_widget_set_layout_manager(widget_.get(), gtk_custom_layout_new(nullptr, measure, allocate));
  gtk_widget_set_overflow(widget_.get(), GTK_OVERFLOW_HIDDEN);
}

void GtkFrameView::addSubview(std::shared_ptr<Widget> subview) {
  auto* handle = dynamic_cast<GtkWidgetHandle*>(subview.get());
  if (handle == nullptr) return;  // not a GTK widget: nothing GTK could show
  gtk_box_append(GTK_BOX(widget_.get()), handle->gtkWidget());
  subviews_.push_back(std::move(subview));
}

void GtkFrameView::setBackgroundColor(const std::optional<Color>& color) {
  style_.setRules(color ? "SELF { background-color: " + cssColor(*color) + "; }" : "");
}

}  // namespace qv
