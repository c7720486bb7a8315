#include "platform/testing/FakeBrowser.h"

#include <algorithm>

namespace qv::testing {

struct FakeBrowserCore {
  mutable std::mutex mutex;
  std::vector<std::string> calls;
  std::vector<DispatchedMessage> messages;
  bool holding = false;
  std::vector<std::function<void()>> held;
  std::size_t nextId = 1;
  std::vector<std::shared_ptr<FakeWindow>> windows;
  std::shared_ptr<FakeWindow> activeWindow;
  std::size_t newWindowTabCount = 1;
  bool openWindowFails = false;
  std::size_t dismissPopoverCount = 0;

  // Callers hold the lock.
  std::string makeId(const char* kind) {
    return std::string(kind) + "-" + std::to_string(nextId++);
  }

  // Runs `completion` now (without the lock held), or keeps it for releaseHeld().
  void deliver(std::function<void()> completion) {
    {
      std::lock_guard lock(mutex);
      if (holding) {
        held.push_back(std::move(completion));
        return;
      }
    }
    completion();
  }
};

namespace {

template <typename T>
void eraseValue(std::vector<std::shared_ptr<T>>& values, const T* value) {
  std::erase_if(values, [value](const auto& each) { return each.get() == value; });
}

}  // namespace

// FakePage

FakePage::FakePage(std::shared_ptr<FakeBrowserCore> core, std::string id,
                   std::optional<std::string> url)
    : core_(std::move(core)), id_(std::move(id)), url_(std::move(url)) {}

void FakePage::getProperties(std::function<void(std::optional<SafariPageProperties>)> completion) {
  std::optional<SafariPageProperties> properties;
  {
    std::lock_guard lock(core_->mutex);
    core_->calls.push_back(id_ + ".getProperties");
    if (hasProperties_) properties = SafariPageProperties{url_, std::nullopt, false};
  }
  core_->deliver([completion = std::move(completion), properties] { completion(properties); });
}

void FakePage::dispatchMessageToScript(const std::string& name,
                                       const std::optional<Json>& userInfo) {
  std::lock_guard lock(core_->mutex);
  core_->calls.push_back(id_ + ".dispatchMessageToScript " + name);
  core_->messages.push_back({id_, name, userInfo});
}

std::vector<DispatchedMessage> FakePage::messages() const {
  std::lock_guard lock(core_->mutex);
  std::vector<DispatchedMessage> mine;
  for (const auto& message : core_->messages) {
    if (message.pageId == id_) mine.push_back(message);
  }
  return mine;
}

void FakePage::setUrl(std::optional<std::string> url) {
  std::lock_guard lock(core_->mutex);
  url_ = std::move(url);
}

void FakePage::setHasProperties(bool has) {
  std::lock_guard lock(core_->mutex);
  hasProperties_ = has;
}

// FakeToolbarItem

FakeToolbarItem::FakeToolbarItem(std::shared_ptr<FakeBrowserCore> core, std::string id)
    : core_(std::move(core)), id_(std::move(id)) {}

void FakeToolbarItem::setImage(const std::optional<Bytes>& png) {
  std::lock_guard lock(core_->mutex);
  core_->calls.push_back(id_ + ".setImage" + (png ? "" : " none"));
  image_ = png;
  ++setImageCount_;
}

void FakeToolbarItem::setBadgeText(const std::optional<std::string>& text) {
  std::lock_guard lock(core_->mutex);
  core_->calls.push_back(id_ + ".setBadgeText " + text.value_or("none"));
  badgeText_ = text;
  ++setBadgeTextCount_;
}

std::optional<Bytes> FakeToolbarItem::image() const {
  std::lock_guard lock(core_->mutex);
  return image_;
}

std::optional<std::string> FakeToolbarItem::badgeText() const {
  std::lock_guard lock(core_->mutex);
  return badgeText_;
}

std::size_t FakeToolbarItem::setImageCount() const {
  std::lock_guard lock(core_->mutex);
  return setImageCount_;
}

std::size_t FakeToolbarItem::setBadgeTextCount() const {
  std::lock_guard lock(core_->mutex);
  return setBadgeTextCount_;
}

// FakeTab

FakeTab::FakeTab(std::shared_ptr<FakeBrowserCore> core, std::string id)
    : core_(std::move(core)), id_(std::move(id)) {}

void FakeTab::getPages(std::function<void(std::vector<std::shared_ptr<SafariPage>>)> completion) {
  std::vector<std::shared_ptr<SafariPage>> pages;
  {
    std::lock_guard lock(core_->mutex);
    core_->calls.push_back(id_ + ".getPages");
    if (!closed_ && page_) pages.push_back(page_);
  }
  core_->deliver([completion = std::move(completion), pages] { completion(pages); });
}

void FakeTab::getActivePage(std::function<void(std::shared_ptr<SafariPage>)> completion) {
  std::shared_ptr<SafariPage> page;
  {
    std::lock_guard lock(core_->mutex);
    core_->calls.push_back(id_ + ".getActivePage");
    if (!closed_) page = page_;
  }
  core_->deliver([completion = std::move(completion), page] { completion(page); });
}

void FakeTab::getContainingWindow(std::function<void(std::shared_ptr<SafariWindow>)> completion) {
  std::shared_ptr<SafariWindow> window;
  {
    std::lock_guard lock(core_->mutex);
    core_->calls.push_back(id_ + ".getContainingWindow");
    if (!closed_) window = window_.lock();
  }
  core_->deliver([completion = std::move(completion), window] { completion(window); });
}

void FakeTab::navigate(const std::string& url) {
  std::lock_guard lock(core_->mutex);
  core_->calls.push_back(id_ + ".navigate " + url);
  if (closed_) return;
  navigations_.push_back(url);
  showPageLocked(url);
}

void FakeTab::close() {
  std::lock_guard lock(core_->mutex);
  core_->calls.push_back(id_ + ".close");
  if (closed_) return;
  closed_ = true;
  if (auto window = window_.lock()) {
    eraseValue(window->tabs_, this);
    if (window->activeTab_.get() == this) {
      window->activeTab_ = window->tabs_.empty() ? nullptr : window->tabs_.back();
    }
  }
}

std::shared_ptr<FakePage> FakeTab::page() const {
  std::lock_guard lock(core_->mutex);
  return page_;
}

std::shared_ptr<FakePage> FakeTab::showPage(std::optional<std::string> url) {
  std::lock_guard lock(core_->mutex);
  return showPageLocked(std::move(url));
}

std::shared_ptr<FakePage> FakeTab::showPageLocked(std::optional<std::string> url) {
  page_ = url ? std::make_shared<FakePage>(core_, core_->makeId("page"), std::move(url)) : nullptr;
  return page_;
}

std::vector<std::string> FakeTab::navigations() const {
  std::lock_guard lock(core_->mutex);
  return navigations_;
}

bool FakeTab::isClosed() const {
  std::lock_guard lock(core_->mutex);
  return closed_;
}

// FakeWindow

FakeWindow::FakeWindow(std::shared_ptr<FakeBrowserCore> core, std::string id)
    : core_(std::move(core)), id_(std::move(id)) {
  // Windows are made with the core's lock held.
  toolbarItem_ = std::make_shared<FakeToolbarItem>(core_, core_->makeId("toolbarItem"));
}

void FakeWindow::openTab(const std::string& url, bool makeActiveIfPossible,
                         std::function<void(std::shared_ptr<SafariTab>)> completion) {
  std::shared_ptr<SafariTab> tab;
  {
    std::lock_guard lock(core_->mutex);
    core_->calls.push_back(id_ + ".openTab " + url +
                           (makeActiveIfPossible ? " active=true" : " active=false"));
    if (!closed_ && !openTabFails_) tab = addTabLocked(url, makeActiveIfPossible);
  }
  core_->deliver([completion = std::move(completion), tab] { completion(tab); });
}

void FakeWindow::getAllTabs(
    std::function<void(std::vector<std::shared_ptr<SafariTab>>)> completion) {
  std::vector<std::shared_ptr<SafariTab>> tabs;
  {
    std::lock_guard lock(core_->mutex);
    core_->calls.push_back(id_ + ".getAllTabs");
    if (!closed_) tabs.assign(tabs_.begin(), tabs_.end());
  }
  core_->deliver([completion = std::move(completion), tabs] { completion(tabs); });
}

void FakeWindow::getActiveTab(std::function<void(std::shared_ptr<SafariTab>)> completion) {
  std::shared_ptr<SafariTab> tab;
  {
    std::lock_guard lock(core_->mutex);
    core_->calls.push_back(id_ + ".getActiveTab");
    if (!closed_) tab = activeTab_;
  }
  core_->deliver([completion = std::move(completion), tab] { completion(tab); });
}

void FakeWindow::getToolbarItem(
    std::function<void(std::shared_ptr<SafariToolbarItem>)> completion) {
  std::shared_ptr<SafariToolbarItem> item;
  {
    std::lock_guard lock(core_->mutex);
    core_->calls.push_back(id_ + ".getToolbarItem");
    if (!closed_) item = toolbarItem_;
  }
  core_->deliver([completion = std::move(completion), item] { completion(item); });
}

void FakeWindow::close() {
  std::lock_guard lock(core_->mutex);
  core_->calls.push_back(id_ + ".close");
  if (closed_) return;
  closed_ = true;
  eraseValue(core_->windows, this);
  if (core_->activeWindow.get() == this) {
    core_->activeWindow = core_->windows.empty() ? nullptr : core_->windows.back();
  }
}

std::shared_ptr<FakeTab> FakeWindow::addTab(std::optional<std::string> url, bool makeActive) {
  std::lock_guard lock(core_->mutex);
  return addTabLocked(std::move(url), makeActive);
}

std::shared_ptr<FakeTab> FakeWindow::addTabLocked(std::optional<std::string> url, bool makeActive) {
  auto tab = std::make_shared<FakeTab>(core_, core_->makeId("tab"));
  tab->window_ = weak_from_this();
  tab->showPageLocked(std::move(url));
  tabs_.push_back(tab);
  if (makeActive || !activeTab_) activeTab_ = tab;
  return tab;
}

std::vector<std::shared_ptr<FakeTab>> FakeWindow::tabs() const {
  std::lock_guard lock(core_->mutex);
  return tabs_;
}

std::shared_ptr<FakeTab> FakeWindow::activeTab() const {
  std::lock_guard lock(core_->mutex);
  return activeTab_;
}

void FakeWindow::setActiveTab(std::shared_ptr<FakeTab> tab) {
  std::lock_guard lock(core_->mutex);
  activeTab_ = std::move(tab);
}

std::shared_ptr<FakeToolbarItem> FakeWindow::toolbarItem() const {
  std::lock_guard lock(core_->mutex);
  return toolbarItem_;
}

void FakeWindow::setToolbarItem(std::shared_ptr<FakeToolbarItem> item) {
  std::lock_guard lock(core_->mutex);
  toolbarItem_ = std::move(item);
}

void FakeWindow::setOpenTabFails(bool fails) {
  std::lock_guard lock(core_->mutex);
  openTabFails_ = fails;
}

bool FakeWindow::isClosed() const {
  std::lock_guard lock(core_->mutex);
  return closed_;
}

// FakeBrowser

FakeBrowser::FakeBrowser() : core_(std::make_shared<FakeBrowserCore>()) {}

FakeBrowser::~FakeBrowser() {
  // Windows and held completions refer back to the core: let go of them so nothing
  // keeps itself alive once the test is done.
  std::vector<std::shared_ptr<FakeWindow>> windows;
  std::vector<std::function<void()>> held;
  std::shared_ptr<FakeWindow> active;
  {
    std::lock_guard lock(core_->mutex);
    windows.swap(core_->windows);
    held.swap(core_->held);
    active.swap(core_->activeWindow);
  }
}

void FakeBrowser::getActiveWindow(std::function<void(std::shared_ptr<SafariWindow>)> completion) {
  std::shared_ptr<SafariWindow> window;
  {
    std::lock_guard lock(core_->mutex);
    core_->calls.push_back("getActiveWindow");
    window = core_->activeWindow;
  }
  core_->deliver([completion = std::move(completion), window] { completion(window); });
}

void FakeBrowser::getAllWindows(
    std::function<void(std::vector<std::shared_ptr<SafariWindow>>)> completion) {
  std::vector<std::shared_ptr<SafariWindow>> windows;
  {
    std::lock_guard lock(core_->mutex);
    core_->calls.push_back("getAllWindows");
    windows.assign(core_->windows.begin(), core_->windows.end());
  }
  core_->deliver([completion = std::move(completion), windows] { completion(windows); });
}

void FakeBrowser::openWindow(const std::string& url,
                             std::function<void(std::shared_ptr<SafariWindow>)> completion) {
  std::shared_ptr<SafariWindow> opened;
  {
    std::lock_guard lock(core_->mutex);
    core_->calls.push_back("openWindow " + url);
    if (!core_->openWindowFails) {
      auto window = std::make_shared<FakeWindow>(core_, core_->makeId("window"));
      for (std::size_t i = 0; i < core_->newWindowTabCount; ++i) window->addTabLocked(url, i == 0);
      core_->windows.push_back(window);
      core_->activeWindow = window;
      opened = window;
    }
  }
  core_->deliver([completion = std::move(completion), opened] { completion(opened); });
}

void FakeBrowser::dismissPopover() {
  std::lock_guard lock(core_->mutex);
  core_->calls.push_back("dismissPopover");
  ++core_->dismissPopoverCount;
}

std::shared_ptr<FakeWindow> FakeBrowser::addWindow(bool makeActive) {
  std::lock_guard lock(core_->mutex);
  auto window = std::make_shared<FakeWindow>(core_, core_->makeId("window"));
  core_->windows.push_back(window);
  if (makeActive) core_->activeWindow = window;
  return window;
}

std::vector<std::shared_ptr<FakeWindow>> FakeBrowser::windows() const {
  std::lock_guard lock(core_->mutex);
  return core_->windows;
}

std::shared_ptr<FakeWindow> FakeBrowser::activeWindow() const {
  std::lock_guard lock(core_->mutex);
  return core_->activeWindow;
}

void FakeBrowser::setActiveWindow(std::shared_ptr<FakeWindow> window) {
  std::lock_guard lock(core_->mutex);
  core_->activeWindow = std::move(window);
}

void FakeBrowser::setNewWindowTabCount(std::size_t count) {
  std::lock_guard lock(core_->mutex);
  core_->newWindowTabCount = count;
}

void FakeBrowser::setOpenWindowFails(bool fails) {
  std::lock_guard lock(core_->mutex);
  core_->openWindowFails = fails;
}

std::vector<std::string> FakeBrowser::calls() const {
  std::lock_guard lock(core_->mutex);
  return core_->calls;
}

std::vector<DispatchedMessage> FakeBrowser::dispatchedMessages() const {
  std::lock_guard lock(core_->mutex);
  return core_->messages;
}

std::size_t FakeBrowser::dismissPopoverCount() const {
  std::lock_guard lock(core_->mutex);
  return core_->dismissPopoverCount;
}

void FakeBrowser::holdCompletions(bool hold) {
  std::lock_guard lock(core_->mutex);
  core_->holding = hold;
}

std::size_t FakeBrowser::releaseHeld() {
  std::size_t count = 0;
  for (;;) {
    std::vector<std::function<void()>> batch;
    {
      std::lock_guard lock(core_->mutex);
      if (core_->held.empty()) return count;
      batch.swap(core_->held);
    }
    for (auto& completion : batch) {
      completion();
      ++count;
    }
  }
}

std::size_t FakeBrowser::heldCount() const {
  std::lock_guard lock(core_->mutex);
  return core_->held.size();
}

}  // namespace qv::testing
