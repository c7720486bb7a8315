#include "platform/linux/gtk/GtkWindowAdapter.h"

#include <cmath>

namespace qv {

GtkWindowAdapter::GtkWindowAdapter(GtkApplication* application, const Rect& contentRect,
                                   std::uint32_t styleMask)
    : window_(GObjectRef<GtkWidget>::sink(gtk_window_new())),
      fullSizeContent_((styleMask & windowStyleFullSizeContentView) != 0) {
  GtkWindow* window = gtkWindow();
  if (application) gtk_window_set_application(window, application);
  gtk_window_set_hide_on_close(window, TRUE);
  gtk_window_set_resizable(window, (styleMask & windowStyleResizable) != 0);
  gtk_window_set_deletable(window, (styleMask & windowStyleClosable) != 0);
  gtk_window_set_default_size(window, static_cast<int>(std::lround(contentRect.width)),
                              static_cast<int>(std::lround(contentRect.height)));

  headerBar_ = gtk_header_bar_new();
  headerStyle_ = std::make_unique<WidgetStyle>(headerBar_);
  std::string layout = ":";
  if (styleMask & windowStyleMiniaturizable) layout += "minimize";
  if (styleMask & windowStyleClosable) layout += (layout.size() > 1 ? ",close" : "close");
  gtk_header_bar_set_decoration_layout(GTK_HEADER_BAR(headerBar_), layout.c_str());
  titleLabel_ = gtk_label_new("");
  gtk_widget_add_css_class(titleLabel_, "title");
  gtk_header_bar_set_title_widget(GTK_HEADER_BAR(headerBar_), titleLabel_);
  if (application) {
    if (GMenuModel* menubar = gtk_application_get_menubar(application)) {
      GtkWidget* bar = gtk_popover_menu_bar_new_from_model(menubar);
      menuBarStyle_ = std::make_unique<WidgetStyle>(bar);
      gtk_header_bar_pack_start(GTK_HEADER_BAR(headerBar_), bar);
    }
  }

  overlay_ = gtk_overlay_new();
  if (fullSizeContent_) {
    // The real title bar is empty; the header bar floats over the content instead.
    GtkWidget* noTitlebar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_widget_set_visible(noTitlebar, FALSE);
    gtk_window_set_titlebar(window, noTitlebar);
    gtk_widget_set_valign(headerBar_, GTK_ALIGN_START);
    gtk_overlay_add_overlay(GTK_OVERLAY(overlay_), headerBar_);
  } else {
    gtk_window_set_titlebar(window, headerBar_);
  }
  gtk_window_set_child(window, overlay_);
}

GtkWindowAdapter::~GtkWindowAdapter() {
  gtk_window_destroy(gtkWindow());
}

void GtkWindowAdapter::setTitle(const std::string& title) {
  title_ = title;
  gtk_window_set_title(gtkWindow(), title.c_str());
  gtk_label_set_text(GTK_LABEL(titleLabel_), title.c_str());
}

void GtkWindowAdapter::setTitleHidden(bool hidden) {
  gtk_widget_set_visible(titleLabel_, !hidden);
}

void GtkWindowAdapter::setTitlebarAppearsTransparent(bool transparent) {
  const char* clear = "SELF { background: none; box-shadow: none; border: none; }";
  headerStyle_->setRules(transparent ? clear : "");
  if (menuBarStyle_) menuBarStyle_->setRules(transparent ? clear : "");
}

void GtkWindowAdapter::setMovableByWindowBackground(bool movable) {
  movable_ = movable;
  placeContent();
}

void GtkWindowAdapter::setContentView(std::shared_ptr<View> view) {
  content_ = std::move(view);
  placeContent();
}

void GtkWindowAdapter::placeContent() {
  GtkWidget* content = nullptr;
  if (auto* handle = dynamic_cast<GtkWidgetHandle*>(content_.get())) content = handle->gtkWidget();
  // Take the content out of wherever it sits now, then put it back in the right holder.
  if (content && gtk_widget_get_parent(content)) {
    GtkWidget* parent = gtk_widget_get_parent(content);
    if (GTK_IS_WINDOW_HANDLE(parent)) {
      gtk_window_handle_set_child(GTK_WINDOW_HANDLE(parent), nullptr);
    } else if (GTK_IS_OVERLAY(parent)) {
      gtk_overlay_set_child(GTK_OVERLAY(parent), nullptr);
    }
  }
  handle_ = nullptr;
  if (movable_) {
    handle_ = gtk_window_handle_new();
    gtk_window_handle_set_child(GTK_WINDOW_HANDLE(handle_), content);
    gtk_overlay_set_child(GTK_OVERLAY(overlay_), handle_);
  } else {
    gtk_overlay_set_child(GTK_OVERLAY(overlay_), content);
  }
}

void GtkWindowAdapter::makeKeyAndOrderFront() {
  gtk_window_unminimize(gtkWindow());
  gtk_window_present(gtkWindow());
}

bool GtkWindowAdapter::isVisible() const {
  if (!gtk_widget_get_visible(window_.get())) return false;
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window_.get()));
  if (surface != nullptr && GDK_IS_TOPLEVEL(surface)) {
    return (gdk_toplevel_get_state(GDK_TOPLEVEL(surface)) & GDK_TOPLEVEL_STATE_MINIMIZED) == 0;
  }
  return true;
}

void GtkWindowAdapter::performClose() {
  gtk_window_close(gtkWindow());
}

void GtkWindowAdapter::performMiniaturize() {
  gtk_window_minimize(gtkWindow());
}

}  // namespace qv
