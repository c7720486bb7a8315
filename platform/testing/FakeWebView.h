#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/MainQueue.h"
#include "platform/WebView.h"

namespace qv::testing {

// A web view that runs no script: it records what it is given (handlers in the order
// they were added, user scripts, loads, evaluations) and lets the test play the page by
// posting script messages. Main thread only, like the real one; calls made on another
// thread are counted so that tests can insist there are none.
class FakeWebView final : public WebView {
 public:
  struct Load {
    std::string html;
    std::optional<std::string> baseUrl;

    bool operator==(const Load&) const = default;
  };

  // The queue is held weakly: work waiting in it may own this view's owner.
  FakeWebView(std::weak_ptr<const MainQueue> mainQueue, bool persistent);

  bool isDataStorePersistent() const override;
  void addScriptMessageHandler(const std::string& name, MessageHandler handler) override;
  void addUserScript(const std::string& source) override;
  void loadHtmlString(const std::string& html, const std::optional<std::string>& baseUrl) override;
  void evaluateJavaScript(const std::string& script) override;
  void setWebProcessEndedHandler(WebProcessEndedHandler handler) override;

  // The page posts `body` to the handler registered as `name`; false when there is none.
  bool postMessage(const std::string& name, const Json& body);
  // The page's process ends (a crash) with `unfinished` scripts not yet run: the
  // handler runs; false when there is none.
  bool endWebProcess(std::vector<std::string> unfinished = {});

  const std::vector<std::string>& handlerNames() const { return handlerNames_; }
  const std::vector<std::string>& userScripts() const { return userScripts_; }
  const std::vector<Load>& loads() const { return loads_; }
  const std::vector<std::string>& evaluations() const { return evaluations_; }
  void clearEvaluations() { evaluations_.clear(); }
  std::size_t offMainThreadCalls() const { return offMainThreadCalls_; }

 private:
  void checkThread() const;

  std::weak_ptr<const MainQueue> mainQueue_;
  bool persistent_;
  std::vector<std::string> handlerNames_;
  std::map<std::string, MessageHandler> handlers_;
  std::vector<std::string> userScripts_;
  std::vector<Load> loads_;
  std::vector<std::string> evaluations_;
  WebProcessEndedHandler onProcessEnded_;
  mutable std::atomic<std::size_t> offMainThreadCalls_ = 0;
};

// A popover window that shows nothing: it records whether it is shown, the size asked
// for, and the web view made for it (a FakeWebView). Main thread only; off-thread calls
// are counted like FakeWebView's.
class FakePopoverWindow final : public PopoverWindow {
 public:
  FakePopoverWindow(std::weak_ptr<const MainQueue> mainQueue, ContentSize size);

  void show() override;
  void hide() override;
  bool isVisible() const override;
  void setContentSize(ContentSize size) override;
  ContentSize contentSize() const override;
  std::unique_ptr<WebView> makeContentWebView() override;

  // The view made last (valid while its owner keeps it); null before the first.
  FakeWebView* contentView() const { return contentView_; }
  std::size_t contentViewsMade() const { return contentViewsMade_; }
  std::size_t showCount() const { return showCount_; }
  std::size_t hideCount() const { return hideCount_; }
  std::size_t offMainThreadCalls() const { return offMainThreadCalls_; }

 private:
  void checkThread() const;

  std::weak_ptr<const MainQueue> mainQueue_;
  ContentSize size_;
  bool visible_ = false;
  FakeWebView* contentView_ = nullptr;
  std::size_t contentViewsMade_ = 0;
  std::size_t showCount_ = 0;
  std::size_t hideCount_ = 0;
  mutable std::atomic<std::size_t> offMainThreadCalls_ = 0;
};

// Makes FakeWebViews and keeps a pointer to the last one for the test (valid while its
// owner keeps it); likewise for popover windows.
class FakeWebViewFactory final : public WebViewFactory {
 public:
  explicit FakeWebViewFactory(std::weak_ptr<const MainQueue> mainQueue);

  std::unique_ptr<WebView> makeHiddenWebView() override;
  std::unique_ptr<PopoverWindow> makePopoverWindow(ContentSize size) override;
  FakePopoverWindow* lastPopoverWindow() const { return lastPopoverWindow_; }

  // Popover automation answers at once: with `value`, or with `error` when the value is
  // absent (by default "the popover is not shown"). A snapshot succeeds whenever a value
  // is set. Requests are recorded: the script, or "snapshot <path>".
  void evaluateInShownPopover(const std::string& script, EvaluateDone done) override;
  void snapshotShownPopover(const std::string& pngPath, SnapshotDone done) override;
  void setPopoverAnswer(std::optional<Json> value, std::string error = "");
  // Records the request; true once a view of that kind was made.
  bool showInspector(InspectedView view) override;
  const std::vector<InspectedView>& inspected() const { return inspected_; }
  const std::vector<std::string>& popoverRequests() const { return popoverRequests_; }

  // Whether views made from now on report a persistent data store (default true).
  void setPersistent(bool persistent) { persistent_ = persistent; }
  // When true, makeHiddenWebView returns null.
  void setFails(bool fails) { fails_ = fails; }
  FakeWebView* lastView() const { return lastView_; }
  std::size_t madeCount() const { return madeCount_; }

 private:
  std::weak_ptr<const MainQueue> mainQueue_;
  bool persistent_ = true;
  bool fails_ = false;
  FakeWebView* lastView_ = nullptr;
  std::size_t madeCount_ = 0;
  FakePopoverWindow* lastPopoverWindow_ = nullptr;
  std::optional<Json> popoverValue_;
  std::string popoverError_ = "the popover is not shown";
  std::vector<std::string> popoverRequests_;
  std::vector<InspectedView> inspected_;
};

}  // namespace qv::testing
