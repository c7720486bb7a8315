#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qv::host {

// The toolbar item an extension declares (SFSafariToolbarItem).
struct ToolbarItemInfo {
  std::string action;                    // "Popover" or "Command"
  std::string label;                     // shown as the button's tooltip and accessible name
  std::string imageName;                 // file name in Contents/Resources; empty when none
  std::optional<std::string> imagePath;  // that file, when it exists

  bool operator==(const ToolbarItemInfo&) const = default;
};

// What the browser knows of one Safari app extension (an .appex inside a registered
// application bundle). A plain value: immutable once loaded, safe to share across
// threads.
struct ExtensionInfo {
  std::string identifier;      // CFBundleIdentifier of the .appex
  std::string displayName;     // CFBundleDisplayName, else CFBundleName, else identifier
  std::string bundlePath;      // the .appex directory
  std::string executablePath;  // Contents/MacOS/<CFBundleExecutable>
  std::string appIdentifier;   // the containing application's CFBundleIdentifier
  std::string appName;
  std::string appBundlePath;                // the containing application's .app directory
  std::vector<std::string> contentScripts;  // sources, in Info.plist order
  std::vector<std::string> styleSheets;     // sources, in Info.plist order
  std::optional<ToolbarItemInfo> toolbarItem;

  bool operator==(const ExtensionInfo&) const = default;
};

// A development certificate authority a bundle brings (QVDeployment.CACertificates),
// with the host names it may vouch for: those of the same bundle's QVDeployment.
struct DevelopmentAuthority {
  std::string pemPath;
  std::vector<std::string> hosts;  // lower case, without ports
  std::string appBundlePath;       // the application that brings it

  bool operator==(const DevelopmentAuthority&) const = default;
};

// A registered application: its bundle, the development authorities of the app and of
// its extensions, and its Safari extensions.
struct RegisteredApp {
  std::string identifier;
  std::string bundlePath;
  std::vector<DevelopmentAuthority> authorities;
  std::vector<ExtensionInfo> extensions;
};

// Reads the application bundle at `bundlePath` and every Safari extension in its
// Contents/PlugIns. Absent, with the reason in `error`, when the whole registration is
// refused: the bundle has no readable Info.plist with an identifier; an extension's
// identifier does not begin with the application's and a full stop; or the Contents
// folder, Info.plist or executable of the app or of an extension is writable by group or
// others, or owned by anyone but this user or root (another user could change what it
// runs). Bundles that are not Safari extensions, or whose declared files cannot be read,
// are skipped (and named in `error`). Reads files: call it off the hot path.
std::optional<RegisteredApp> loadRegisteredApp(const std::string& bundlePath, std::string* error);

// One .appex. Absent when it is not a Safari app extension or a declared script or
// style sheet is missing; the reason is in `error`.
std::optional<ExtensionInfo> loadExtension(const std::string& appexPath,
                                           const std::string& appIdentifier,
                                           const std::string& appName, std::string* error);

}  // namespace qv::host
