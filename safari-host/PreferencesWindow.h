#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/system/GObjectRef.h"

typedef struct _GtkApplication GtkApplication;
typedef struct _GtkWidget GtkWidget;

namespace qv::host {

class ExtensionRegistry;
struct ExtensionInfo;

// The "Extensions" preferences: every registered extension with an enable switch.
// Flipping a switch records the choice in the registry. An "Advanced" page holds the
// "Show features for web developers" switch (see DevelopMenu). Hidden, not destroyed, when
// closed. Main thread only.
class PreferencesWindow {
 public:
  PreferencesWindow(GtkApplication* application, ExtensionRegistry& registry);
  ~PreferencesWindow();
  PreferencesWindow(const PreferencesWindow&) = delete;
  PreferencesWindow& operator=(const PreferencesWindow&) = delete;

  // Presents the window with `identifier`'s row focused; `onShown` runs once it is on
  // screen showing that row.
  void show(const std::optional<std::string>& identifier, std::function<void()> onShown);
  // Follows the registry: rows for new extensions, switches for changed choices, and
  // which extensions wait to restart.
  void refresh();
  // How long until an extension starts again, when it waits after exiting too often.
  using RestartDelay = std::function<std::optional<std::chrono::seconds>(const std::string&)>;
  void setRestartDelay(RestartDelay delay) { restartDelay_ = std::move(delay); }

 private:
  struct Row {
    std::string identifier;
    GtkWidget* row;     // owned by the window
    GtkWidget* toggle;  // owned by the window
    unsigned long handler;
  };
  void addAdvancedPage();
  void rebuild();
  std::string subtitleFor(const ExtensionInfo& extension) const;
  void focusRow(const std::string& identifier);

  GtkApplication* application_;
  ExtensionRegistry& registry_;
  GObjectRef<GtkWidget> window_;
  GtkWidget* page_ = nullptr;   // owned by window_
  GtkWidget* group_ = nullptr;  // owned by window_
  std::vector<Row> rows_;
  RestartDelay restartDelay_;
  std::vector<std::function<void()>> pendingShown_;
  bool rebuildPending_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace qv::host
