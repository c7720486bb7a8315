#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/linux/system/GObjectRef.h"

typedef struct _GtkApplication GtkApplication;
typedef struct _GMenu GMenu;
typedef struct _GMenuModel GMenuModel;
typedef struct _GSimpleAction GSimpleAction;

namespace qv::host {

// The Develop menu, as Safari shows it once "Show features for web developers" is on:
// for each enabled extension, its "Background Page" and "Settings Popup" (WebKit's Web
// Inspector for that web view) and "Reload Background Page".
//
// The switch is the application action "app.show-developer-features" (a boolean state
// the preferences' switch is bound to), kept in `settingsPath` as
// {"showDeveloperFeatures": bool}. The menu is a section every window's menu includes;
// it is empty while the switch is off. Main thread only.
class DevelopMenu {
 public:
  struct Extension {
    std::string identifier;
    std::string displayName;
  };
  enum class Request { inspectBackground, inspectPopup, reloadBackground };
  using ListExtensions = std::function<std::vector<Extension>()>;
  using Send = std::function<void(const std::string& identifier, Request request)>;

  DevelopMenu(GtkApplication* application, std::string settingsPath, ListExtensions extensions,
              Send send);
  ~DevelopMenu();
  DevelopMenu(const DevelopMenu&) = delete;
  DevelopMenu& operator=(const DevelopMenu&) = delete;

  // The section for windows' menus; it changes in place.
  GMenuModel* section() const;
  bool isShown() const { return shown_; }
  // After the extensions changed.
  void refresh();

 private:
  void setShown(bool shown);

  GtkApplication* application_;
  std::string settingsPath_;
  ListExtensions extensions_;
  Send send_;
  bool shown_ = false;
  GObjectRef<GMenu> section_;
  std::vector<GObjectRef<GSimpleAction>> actions_;
};

}  // namespace qv::host
