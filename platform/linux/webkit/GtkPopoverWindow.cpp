#include "platform/linux/webkit/GtkPopoverWindow.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/linux/webkit/WebKitPopoverWindows.h"
#include "platform/linux/webkit/WebKitView.h"

namespace qv {
namespace {

// Larger than any screen; keeps a page's size request from asking for absurd surfaces.
constexpr double maxPopoverSide = 8192;

int pixels(double points) {
  return static_cast<int>(std::lround(std::clamp(points, 0.0, maxPopoverSide)));
}

}  // namespace

GtkPopoverWindow::GtkPopoverWindow(std::shared_ptr<WebKitDevelopmentTrust> trust,
                                   std::shared_ptr<WebKitPopoverWindows> registry, ContentSize size,
                                   ProcessPeer processPeer)
    : trust_(std::move(trust)),
      registry_(std::move(registry)),
      size_(size),
      processPeer_(std::move(processPeer)) {
  // GTK keeps top-level windows alive until destroyed; our reference outlives that.
  window_ = GObjectRef<GtkWindow>::retain(GTK_WINDOW(gtk_window_new()));
  gtk_window_set_decorated(window_.get(), FALSE);
  gtk_window_set_resizable(window_.get(), FALSE);
  gtk_window_set_hide_on_close(window_.get(), TRUE);
  gtk_window_set_title(window_.get(), "Quorvane");
  applySize();
  registry_->add(window_.get());
}

GtkPopoverWindow::~GtkPopoverWindow() {
  registry_->remove(window_.get());
  gtk_window_destroy(window_.get());
}

void GtkPopoverWindow::show() {
  gtk_window_present(window_.get());
}

void GtkPopoverWindow::hide() {
  gtk_widget_set_visible(GTK_WIDGET(window_.get()), FALSE);
}

bool GtkPopoverWindow::isVisible() const {
  return gtk_widget_get_visible(GTK_WIDGET(window_.get()));
}

void GtkPopoverWindow::setContentSize(ContentSize size) {
  size_ = size;
  applySize();
}

ContentSize GtkPopoverWindow::contentSize() const {
  GtkWidget* child = gtk_window_get_child(window_.get());
  if (!isVisible() || child == nullptr || !gtk_widget_get_mapped(child)) return size_;
  return ContentSize{static_cast<double>(gtk_widget_get_width(child)),
                     static_cast<double>(gtk_widget_get_height(child))};
}

std::unique_ptr<WebView> GtkPopoverWindow::makeContentWebView() {
  GObjectRef<WebKitWebView> peer = processPeer_ ? processPeer_() : GObjectRef<WebKitWebView>();
  auto view = std::make_unique<WebKitView>(trust_, /*hidden=*/false, peer.get());
  gtk_window_set_child(window_.get(), view->widget());
  applySize();
  return view;
}

void GtkPopoverWindow::applySize() {
  int width = pixels(size_.width);
  int height = pixels(size_.height);
  if (GtkWidget* child = gtk_window_get_child(window_.get())) {
    gtk_widget_set_size_request(child, width, height);
  }
  gtk_window_set_default_size(window_.get(), std::max(width, 1), std::max(height, 1));
}

}  // namespace qv
