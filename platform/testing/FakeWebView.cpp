#include "platform/testing/FakeWebView.h"

namespace qv::testing {

FakeWebView::FakeWebView(std::weak_ptr<const MainQueue> mainQueue, bool persistent)
    : mainQueue_(std::move(mainQueue)), persistent_(persistent) {}

void FakeWebView::checkThread() const {
  auto queue = mainQueue_.lock();
  if (queue && !queue->isMainThread()) ++offMainThreadCalls_;
}

bool FakeWebView::isDataStorePersistent() const {
  checkThread();
  return persistent_;
}

void FakeWebView::addScriptMessageHandler(const std::string& name, MessageHandler handler) {
  checkThread();
  handlerNames_.push_back(name);
  handlers_[name] = std::move(handler);
}

void FakeWebView::addUserScript(const std::string& source) {
  checkThread();
  userScripts_.push_back(source);
}

void FakeWebView::loadHtmlString(const std::string& html,
                                 const std::optional<std::string>& baseUrl) {
  checkThread();
  loads_.push_back({html, baseUrl});
}

void FakeWebView::evaluateJavaScript(const std::string& script) {
  checkThread();
  evaluations_.push_back(script);
}

void FakeWebView::setWebProcessEndedHandler(WebProcessEndedHandler handler) {
  checkThread();
  onProcessEnded_ = std::move(handler);
}

bool FakeWebView::endWebProcess(std::vector<std::string> unfinished) {
  if (!onProcessEnded_) return false;
  onProcessEnded_(std::move(unfinished));
  return true;
}

bool FakeWebView::postMessage(const std::string& name, const Json& body) {
  checkThread();
  auto it = handlers_.find(name);
  if (it == handlers_.end()) return false;
  MessageHandler handler = it->second;  // the handler may add handlers while it runs
  handler(body);
  return true;
}

FakePopoverWindow::FakePopoverWindow(std::weak_ptr<const MainQueue> mainQueue, ContentSize size)
    : mainQueue_(std::move(mainQueue)), size_(size) {}

void FakePopoverWindow::checkThread() const {
  auto queue = mainQueue_.lock();
  if (queue && !queue->isMainThread()) ++offMainThreadCalls_;
}

void FakePopoverWindow::show() {
  checkThread();
  visible_ = true;
  ++showCount_;
}

void FakePopoverWindow::hide() {
  checkThread();
  visible_ = false;
  ++hideCount_;
}

bool FakePopoverWindow::isVisible() const {
  checkThread();
  return visible_;
}

void FakePopoverWindow::setContentSize(ContentSize size) {
  checkThread();
  size_ = size;
}

ContentSize FakePopoverWindow::contentSize() const {
  checkThread();
  return size_;
}

std::unique_ptr<WebView> FakePopoverWindow::makeContentWebView() {
  checkThread();
  auto view = std::make_unique<FakeWebView>(mainQueue_, /*persistent=*/true);
  contentView_ = view.get();
  ++contentViewsMade_;
  return view;
}

FakeWebViewFactory::FakeWebViewFactory(std::weak_ptr<const MainQueue> mainQueue)
    : mainQueue_(std::move(mainQueue)) {}

std::unique_ptr<WebView> FakeWebViewFactory::makeHiddenWebView() {
  if (fails_) return nullptr;
  auto view = std::make_unique<FakeWebView>(mainQueue_, persistent_);
  lastView_ = view.get();
  ++madeCount_;
  return view;
}

std::unique_ptr<PopoverWindow> FakeWebViewFactory::makePopoverWindow(ContentSize size) {
  auto window = std::make_unique<FakePopoverWindow>(mainQueue_, size);
  lastPopoverWindow_ = window.get();
  return window;
}

void FakeWebViewFactory::evaluateInShownPopover(const std::string& script, EvaluateDone done) {
  popoverRequests_.push_back(script);
  done(popoverValue_, popoverValue_ ? "" : popoverError_);
}

void FakeWebViewFactory::snapshotShownPopover(const std::string& pngPath, SnapshotDone done) {
  popoverRequests_.push_back("snapshot " + pngPath);
  done(popoverValue_ ? std::nullopt : std::optional<std::string>(popoverError_));
}

bool FakeWebViewFactory::showInspector(InspectedView view) {
  inspected_.push_back(view);
  return view == InspectedView::hidden ? madeCount_ > 0 : lastPopoverWindow_ != nullptr;
}

void FakeWebViewFactory::setPopoverAnswer(std::optional<Json> value, std::string error) {
  popoverValue_ = std::move(value);
  popoverError_ = std::move(error);
}

}  // namespace qv::testing
