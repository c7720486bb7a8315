#include "SafariExtension/Tabs.h"

#include "platform/Url.h"

namespace qv {
namespace {

using WindowPtr = std::shared_ptr<SafariWindow>;
using TabPtr = std::shared_ptr<SafariTab>;
using PagePtr = std::shared_ptr<SafariPage>;

bool sameSchemeHostAndPath(const std::string& pageUrl, const std::string& url) {
  auto a = UrlComponents::parse(pageUrl);
  auto b = UrlComponents::parse(url);
  if (!a || !b) return false;
  return a->scheme == b->scheme && a->host == b->host && a->path == b->path;
}

}  // namespace

Tabs::Tabs(std::shared_ptr<SafariApplication> application) : application_(std::move(application)) {}

std::string Tabs::unexpectedTabCount(std::size_t count) {
  return "unexpected tab count=" + std::to_string(count) + " in newly opened window";
}

Future<WindowPtr> Tabs::activeOrFirstWindow() const {
  auto app = application_;
  Future<WindowPtr> active = [app](std::function<void(WindowPtr)> cb) {
    app->getActiveWindow(std::move(cb));
  };
  Future<WindowPtr> first = [app](std::function<void(WindowPtr)> cb) {
    app->getAllWindows([cb = std::move(cb)](std::vector<WindowPtr> windows) {
      cb(windows.empty() ? nullptr : windows.front());
    });
  };
  return FutureFunc::bind(active, [first](WindowPtr window) {
    return window ? FutureFunc::pure(std::move(window)) : first;
  });
}

Future<OpenTabResult> Tabs::openTab(std::string url, bool forceNewWindow, bool activate) const {
  Future<WindowPtr> window =
      forceNewWindow ? FutureFunc::pure<WindowPtr>(nullptr) : activeOrFirstWindow();
  Tabs self = *this;
  return FutureFunc::bind(window, [self, url = std::move(url), activate](WindowPtr found) {
    return self.openInWindow(std::move(found), url, activate);
  });
}

Future<OpenTabResult> Tabs::openInWindow(WindowPtr window, std::string url, bool activate) const {
  if (window) {
    return [window, url = std::move(url), activate](std::function<void(OpenTabResult)> cb) {
      window->openTab(url, activate, [cb = std::move(cb)](TabPtr tab) {
        if (!tab) {
          cb({nullptr, std::string(couldNotOpenTab)});
        } else {
          cb({std::move(tab), std::nullopt});
        }
      });
    };
  }
  auto app = application_;
  Future<WindowPtr> newWindow = [app, url = std::move(url)](std::function<void(WindowPtr)> cb) {
    app->openWindow(url, std::move(cb));
  };
  return FutureFunc::bind(newWindow, [](WindowPtr opened) -> Future<OpenTabResult> {
    if (!opened) return FutureFunc::pure(OpenTabResult{nullptr, std::string(couldNotOpenWindow)});
    return [opened](std::function<void(OpenTabResult)> cb) {
      opened->getAllTabs([cb = std::move(cb)](std::vector<TabPtr> tabs) {
        if (tabs.size() == 1) {
          cb({tabs.front(), std::nullopt});
        } else {
          cb({tabs.empty() ? nullptr : tabs.front(), unexpectedTabCount(tabs.size())});
        }
      });
    };
  });
}

Future<TabPtr> Tabs::isTabShowing(TabPtr tab, std::string url) {
  if (!tab) return FutureFunc::pure<TabPtr>(nullptr);
  Future<std::optional<PagePtr>> firstPage = [tab](std::function<void(std::optional<PagePtr>)> cb) {
    tab->getPages([cb = std::move(cb)](std::vector<PagePtr> pages) {
      if (pages.empty() || !pages.front()) {
        cb(std::nullopt);
      } else {
        cb(pages.front());
      }
    });
  };
  Future<std::optional<std::string>> pageUrl =
      FutureFunc::bindJust(firstPage, [](PagePtr page) -> Future<std::optional<std::string>> {
        return [page](std::function<void(std::optional<std::string>)> cb) {
          page->getProperties([cb = std::move(cb)](std::optional<SafariPageProperties> properties) {
            cb(properties ? properties->url : std::nullopt);
          });
        };
      });
  return FutureFunc::fmap(
      [tab, url = std::move(url)](std::optional<std::string> shown) -> TabPtr {
        return shown && sameSchemeHostAndPath(*shown, url) ? tab : nullptr;
      },
      pageUrl);
}

Future<std::monostate> Tabs::closeTabOrWindow(WindowPtr window, TabPtr tab) {
  if (!window || !tab) return FutureFunc::pure(std::monostate{});
  return [window, tab](std::function<void(std::monostate)> cb) {
    window->getAllTabs([window, tab, cb = std::move(cb)](std::vector<TabPtr> tabs) {
      if (tabs.size() == 1) {
        window->close();
      } else {
        tab->close();
      }
      cb({});
    });
  };
}

void Tabs::withActiveTab(std::function<void(TabPtr)> action) const {
  application_->getActiveWindow([action = std::move(action)](WindowPtr window) {
    if (!window) return;
    window->getActiveTab([action](TabPtr tab) {
      if (tab) action(std::move(tab));
    });
  });
}

void Tabs::withEachActiveTabPage(std::function<void(PagePtr)> action) const {
  withActiveTab([action = std::move(action)](TabPtr tab) {
    tab->getPages([action](std::vector<PagePtr> pages) {
      for (PagePtr& page : pages) {
        if (page) action(std::move(page));
      }
    });
  });
}

void Tabs::withActiveToolbarItem(
    std::function<void(std::shared_ptr<SafariToolbarItem>)> action) const {
  application_->getActiveWindow([action = std::move(action)](WindowPtr window) {
    if (!window) return;
    window->getToolbarItem([action](std::shared_ptr<SafariToolbarItem> item) {
      if (item) action(std::move(item));
    });
  });
}

}  // namespace qv
