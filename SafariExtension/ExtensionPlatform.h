#pragma once

#include <memory>

#include "platform/SafariServices.h"
#include "platform/WebView.h"

namespace qv {

// The browser-facing facilities only the extension uses, beside the common Platform:
// the browser (IPC-backed in production, FakeBrowser in tests) and the maker of the
// background page's web view. Both members are set.
struct ExtensionPlatform {
  std::shared_ptr<SafariApplication> application;
  std::shared_ptr<WebViewFactory> webViewFactory;
};

}  // namespace qv
