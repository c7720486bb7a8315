#pragma once

#include <memory>
#include <string>
#include <vector>

#include "safari-host/ContentScriptApi.h"
#include "safari-host/ExtensionInfo.h"

namespace qv::host {

class BrowserWindow;
class Tab;

// What windows and tabs report to, and need from, the extension side of the browser.
// Implemented once per process; outlives every window. Main thread only.
class BrowserDelegate {
 public:
  virtual ~BrowserDelegate() = default;

  // The extensions whose content scripts and toolbar items windows and tabs show.
  virtual std::vector<std::shared_ptr<const ExtensionInfo>> enabledExtensions() const = 0;
  // PEM files of the development certificate authorities that may vouch for `host` (see
  // DevCertificateTrust.h); none for every host that is not an enabled bundle's own.
  virtual std::vector<std::string> developmentAuthoritiesFor(const std::string& host) const = 0;

  // A content script of `extensionIdentifier` posted `message` from the current page
  // of `tab` (`pageRef`).
  virtual void scriptMessageReceived(Tab& tab, const std::string& pageRef,
                                     const std::string& extensionIdentifier,
                                     const PostedMessage& message) = 0;
  // The window became active, or its active tab or that tab's page changed.
  virtual void toolbarItemsNeedValidation(BrowserWindow& window) = 0;
  virtual void popoverWillShow(BrowserWindow& window, const std::string& extensionIdentifier) = 0;
  virtual void popoverDidClose(BrowserWindow& window, const std::string& extensionIdentifier) = 0;
  // The person asked for the Extensions preferences.
  virtual void showPreferences() = 0;
};

}  // namespace qv::host
