#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "Common/Future.h"
#include "platform/SafariServices.h"

namespace qv {

// What opening a tab gave: a tab (null when none), an error text (absent when none),
// or both at once when a new window came back with an unexpected number of tabs.
struct OpenTabResult {
  std::shared_ptr<SafariTab> tab;
  std::optional<std::string> error;
};

// The browser's asynchronous window and tab lookups, as futures and as plain chains.
// Nothing here logs: failures travel in the results. Every future and chain may be
// started from any thread; each step continues on the thread that delivered the
// previous completion, and nothing here is shared between chains. Futures hold the
// application strongly, so they may outlive this object.
class Tabs {
 public:
  explicit Tabs(std::shared_ptr<SafariApplication> application);

  // Opens `url` in a new window when `forceNewWindow`, otherwise in a new tab of the
  // active window (or of the first window; a new window when there is none).
  Future<OpenTabResult> openTab(std::string url, bool forceNewWindow, bool activate) const;
  // Opens `url` in a new tab of `window`, or in a new window when `window` is null.
  Future<OpenTabResult> openInWindow(std::shared_ptr<SafariWindow> window, std::string url,
                                     bool activate) const;
  // `tab` when its first page shows the same scheme, host and path as `url` (query and
  // fragment ignored); null otherwise, including when either URL does not parse.
  static Future<std::shared_ptr<SafariTab>> isTabShowing(std::shared_ptr<SafariTab> tab,
                                                         std::string url);
  // Closes `window` when it has exactly one tab, otherwise `tab`; completes after asking.
  // With a null window or tab nothing is closed.
  static Future<std::monostate> closeTabOrWindow(std::shared_ptr<SafariWindow> window,
                                                 std::shared_ptr<SafariTab> tab);

  // Active window → its active tab → `action`. A step that yields nothing ends the
  // chain silently and `action` is not called.
  void withActiveTab(std::function<void(std::shared_ptr<SafariTab>)> action) const;
  // Active window → active tab → each of its pages.
  void withEachActiveTabPage(std::function<void(std::shared_ptr<SafariPage>)> action) const;
  // Active window → its toolbar item.
  void withActiveToolbarItem(std::function<void(std::shared_ptr<SafariToolbarItem>)> action) const;

  static constexpr std::string_view couldNotOpenTab = "could not open tab";
  static constexpr std::string_view couldNotOpenWindow = "could not open window";
  // "unexpected tab count=<n> in newly opened window"
  static std::string unexpectedTabCount(std::size_t count);

 private:
  Future<std::shared_ptr<SafariWindow>> activeOrFirstWindow() const;

  std::shared_ptr<SafariApplication> application_;
};

}  // namespace qv
