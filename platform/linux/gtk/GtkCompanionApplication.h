#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/AppleEventManager.h"
#include "platform/Application.h"
#include "platform/linux/system/GObjectRef.h"

typedef struct _GtkApplication GtkApplication;
typedef struct _GMenu GMenu;
typedef struct _GApplication GApplication;
typedef struct _GFile GFile;

namespace qv {

// The application object on GTK: an AdwApplication that handles "open", so that a
// launch with a callback URL (ours or a second instance's, forwarded over D-Bus)
// becomes a get-URL event whose direct object is the URI.
//
// Launch order: GApplication's "startup" is will-finish-launching; the first
// "activate" or "open" is did-finish-launching (an open delivers its URLs first, as the
// system hands a launching URL over before launch finishes); every later "activate" is
// a re-open. The application holds itself, so closing the last window does not end it.
//
// The main menu becomes the application's menu bar (GMenu), each item an application
// action with its Ctrl accelerator; the untitled application menu is labelled with the
// application's name, as the Mac draws it. The windows menu gets a section listing the
// windows added to it.
//
// Main thread only. Construct it before anything else touches GTK.
class GtkCompanionApplication final : public Application, public AppleEventManager {
 public:
  GtkCompanionApplication(const std::string& applicationId, std::string appName,
                          std::string version, int argc, char** argv);
  ~GtkCompanionApplication() override;
  GtkCompanionApplication(const GtkCompanionApplication&) = delete;
  GtkCompanionApplication& operator=(const GtkCompanionApplication&) = delete;

  GtkApplication* gtkApplication() const { return application_.get(); }

  // Registers on the session bus. True when another instance already runs: run() then
  // only forwards this launch's arguments to it and returns.
  bool isRemote();

  void setMainMenu(std::shared_ptr<Menu> menu) override;
  void setWindowsMenu(std::shared_ptr<Menu> menu) override;
  void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) override;
  void addWindowsItem(std::shared_ptr<Window> window, const std::string& title,
                      bool isFilename) override;
  int run() override;
  void terminate() override;

  void setEventHandler(Handler handler, FourCharCode eventClass, FourCharCode eventID) override;

  // Whether any of the application's windows is on screen (shown and not minimised).
  bool hasVisibleWindows() const;

 private:
  struct WindowsEntry {
    std::weak_ptr<Window> window;
    std::string title;
  };

  static void onStartup(GApplication* application, gpointer self);
  static void onActivate(GApplication* application, gpointer self);
  static void onOpen(GApplication* application, GFile** files, int count, const char* hint,
                     gpointer self);

  void installMenuBar();
  GObjectRef<GMenu> buildMenu(const Menu& menu);
  std::string actionFor(const MenuItem& item);
  void addAction(const std::string& name, std::function<void()> perform);
  void beginLaunching();
  void finishLaunching();
  void deliverUrl(const std::string& url);
  void showAboutPanel();
  void rebuildWindowsSection();

  GObjectRef<GtkApplication> application_;
  std::string appName_;
  std::string version_;
  int argc_;
  char** argv_;
  std::shared_ptr<Menu> mainMenu_;
  std::shared_ptr<Menu> windowsMenu_;
  GObjectRef<GMenu> windowsSection_;  // the windows menu's list of windows
  std::weak_ptr<ApplicationDelegate> delegate_;
  std::map<std::pair<FourCharCode, FourCharCode>, Handler> handlers_;
  std::vector<WindowsEntry> windowsEntries_;
  std::size_t targetActionCount_ = 0;  // menu items with their own action
  bool started_ = false;               // GApplication's startup has run
  bool willFinishDelivered_ = false;
  const Menu* installedMenu_ = nullptr;  // the menu the menu bar shows
  bool launched_ = false;                // did-finish-launching has run
};

}  // namespace qv
