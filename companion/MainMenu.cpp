#include "companion/MainMenu.h"

#include <memory>
#include <utility>

namespace qv {

MainMenu::MainMenu(Application& application, const std::string& appName,
                   std::function<void()> showMainWindow)
    : Menu(""), showMainWindow_(std::move(showMainWindow)) {
  auto applicationMenu = std::make_shared<Menu>("");
  applicationMenu->addItem("About " + appName, MenuAction::orderFrontStandardAboutPanel, "");
  applicationMenu->addItem(MenuItem::separator());
  applicationMenu->addItem("Quit " + appName, MenuAction::terminate, "q");

  auto fileMenu = std::make_shared<Menu>("File");
  // The application keeps the menu, and with it this item, for as long as it runs.
  fileMenu->addItem("Open\u2026", MenuAction::target, "o").perform = [this] { open(); };
  fileMenu->addItem(MenuItem::separator());
  fileMenu->addItem("Close", MenuAction::performClose, "w");

  auto windowMenu = std::make_shared<Menu>("Window");
  windowMenu->addItem("Minimize", MenuAction::performMiniaturize, "m");
  windowMenu->addItem(MenuItem::separator());
  windowMenu->addItem("Bring All to Front", MenuAction::arrangeInFront, "");

  addSubmenu(applicationMenu);
  addSubmenu(fileMenu);
  addSubmenu(windowMenu);
  application.setWindowsMenu(windowMenu);
}

void MainMenu::open() {
  if (showMainWindow_) showMainWindow_();
}

}  // namespace qv
