#pragma once

#include <memory>

#include "ipc/Dispatcher.h"

namespace qv::host {

class Browser;
struct ExtensionInfo;

// Answers an extension's calls on the browser's objects (application, window, tab,
// page, toolbar item, popover): the methods of ipc::browser. References to objects that
// no longer exist give null results or do nothing; an extension may only touch its own
// toolbar items and reach its own content scripts. Main thread only.
class SafariObjectApi {
 public:
  explicit SafariObjectApi(Browser& browser) : browser_(browser) {}

  // The calls `extension` may make, each acting as that extension. The dispatcher must
  // not outlive the browser.
  std::shared_ptr<const ipc::Dispatcher> callsOf(std::shared_ptr<const ExtensionInfo> extension);

 private:
  Browser& browser_;
};

}  // namespace qv::host
