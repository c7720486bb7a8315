#pragma once

#include <optional>
#include <string>

#include "platform/Json.h"

// An extension bundle written to disk, for running the extension outside a browser.
namespace qv::test {

// What goes into a test extension bundle.
struct ExtensionBundleContents {
  std::string backgroundScript;  // Contents/Resources/Quorvane-bg.js
  std::string backgroundTemplate =
      "<!DOCTYPE html><html><head><title>bg</title></head><body></body></html>";
  std::string bareDomain = "quorvane.test";
  // Nothing listens there, so the remote log's records fail fast and quietly.
  std::string logHost = "127.0.0.1:9";
  std::string popupScript =  // Contents/Resources/Quorvane-popup.js
      "window.webkit.messageHandlers.settingPopupReady.postMessage({});";
  std::string popupStyleSheet = ".popup { margin: 0; }";  // …/Quorvane-popup.styles.css
};

// Writes `<directory>/Test.appex` with Contents/Info.plist (identity and QVDeployment),
// clientInfo.json, the background script and template, the popup script and style sheet. With
// `executable`, copies that file to Contents/MacOS/Quorvane_Safari_Extension: a copy, not a link,
// because the process finds its bundle through /proc/self/exe. Returns the bundle path; empty when
// a file could not be written.
std::string writeExtensionBundle(const std::string& directory,
                                 const ExtensionBundleContents& contents,
                                 const std::optional<std::string>& executable = std::nullopt);

// A content page's "passToBgPage" user info: {"meta": {"srcPageId"}, "data": {"json"}}.
Json passToBgPageUserInfo(const std::string& srcPageId, const std::string& json);

}  // namespace qv::test
