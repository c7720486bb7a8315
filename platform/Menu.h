#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qv {

class Menu;

// What choosing a menu item does: one of the application's standard actions, or the
// item's own `perform` (an action sent to a target).
enum class MenuAction {
  none,
  orderFrontStandardAboutPanel,  // the application's about panel
  terminate,                     // quit the application
  performClose,                  // close the key window
  performMiniaturize,            // minimise the key window
  arrangeInFront,                // bring all of the application's windows to the front
  target,                        // call `perform`
};

// One entry of a menu: an action item, a separator, or the title of a submenu.
struct MenuItem {
  std::string title;
  MenuAction action = MenuAction::none;
  std::function<void()> perform;  // for MenuAction::target; runs on the main thread
  std::string keyEquivalent;      // a lower-case key, or empty for none
  bool commandModifier = false;   // Command on the Mac, Ctrl elsewhere
  bool isSeparator = false;
  std::shared_ptr<Menu> submenu;

  static MenuItem separator() {
    MenuItem item;
    item.isSeparator = true;
    return item;
  }
};

// A menu as plain data: the application turns it into the platform's menu bar.
// Build it on the main thread before handing it over; it is not changed afterwards.
class Menu {
 public:
  explicit Menu(std::string title = "") : title_(std::move(title)) {}
  virtual ~Menu() = default;
  Menu(const Menu&) = delete;
  Menu& operator=(const Menu&) = delete;

  const std::string& title() const { return title_; }
  const std::vector<MenuItem>& items() const { return items_; }

  void addItem(MenuItem item) { items_.push_back(std::move(item)); }
  // An action item with the platform's default Command modifier.
  MenuItem& addItem(std::string title, MenuAction action, std::string keyEquivalent) {
    MenuItem item;
    item.title = std::move(title);
    item.action = action;
    item.keyEquivalent = std::move(keyEquivalent);
    item.commandModifier = true;
    items_.push_back(std::move(item));
    return items_.back();
  }
  // An untitled item whose submenu is `submenu`.
  void addSubmenu(std::shared_ptr<Menu> submenu) {
    MenuItem item;
    item.submenu = std::move(submenu);
    items_.push_back(std::move(item));
  }

 private:
  std::string title_;
  std::vector<MenuItem> items_;
};

}  // namespace qv
