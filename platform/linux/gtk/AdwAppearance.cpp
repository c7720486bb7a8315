#include "platform/linux/gtk/AdwAppearance.h"

#include <adwaita.h>

#include <utility>

#include "platform/linux/system/GObjectRef.h"

namespace qv {
namespace {

// Disconnects its signal handler when destroyed; the handler owns the callback.
class DarkObservation final : public Subscription {
 public:
  explicit DarkObservation(std::function<void()> onChange)
      : manager_(GObjectRef<AdwStyleManager>::retain(adw_style_manager_get_default())) {
    handler_ = g_signal_connect_data(
        manager_.get(), "notify::dark", G_CALLBACK(+[](GObject*, GParamSpec*, gpointer data) {
          (*static_cast<std::function<void()>*>(data))();
        }),
        new std::function<void()>(std::move(onChange)),
        [](gpointer data, GClosure*) { delete static_cast<std::function<void()>*>(data); },
        GConnectFlags(0));
  }
  ~DarkObservation() override { g_signal_handler_disconnect(manager_.get(), handler_); }
  DarkObservation(const DarkObservation&) = delete;
  DarkObservation& operator=(const DarkObservation&) = delete;

 private:
  GObjectRef<AdwStyleManager> manager_;
  gulong handler_ = 0;
};

}  // namespace

bool AdwAppearance::isDark() const {
  return adw_style_manager_get_dark(adw_style_manager_get_default());
}

std::unique_ptr<Subscription> AdwAppearance::observeChanges(std::function<void()> onChange) {
  return std::make_unique<DarkObservation>(std::move(onChange));
}

}  // namespace qv
