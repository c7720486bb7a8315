#include "safari-host/ExtensionInfo.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <variant>

#include "platform/JsonFields.h"
#include "platform/linux/system/LinuxBundle.h"

namespace qv::host {
namespace {

constexpr std::uintmax_t kMaxResourceSize = 16 * 1024 * 1024;

// A string member; empty when missing or of another type.
std::string stringField(const Json& object, const char* key) {
  return json::string(object, key).value_or("");
}

// A resource named by Info.plist, read whole; absent when missing or too large.
std::optional<std::string> readResource(const LinuxBundle& bundle, const std::string& name) {
  std::optional<std::string> path = bundle.pathForResource(name, "");
  if (!path) return std::nullopt;
  std::error_code error;
  if (std::filesystem::file_size(*path, error) > kMaxResourceSize || error) return std::nullopt;
  auto contents = bundle.contentsOfFile(*path);
  if (auto* text = std::get_if<std::string>(&contents)) return std::move(*text);
  return std::nullopt;
}

// Sources of the files an array of dictionaries names under `key`, in order.
bool readDeclaredFiles(const LinuxBundle& bundle, const Json& extension, const char* arrayKey,
                       const char* fileKey, std::vector<std::string>& sources, std::string* error) {
  auto it = extension.find(arrayKey);
  if (it == extension.end() || !it->is_array()) return true;
  for (const Json& entry : *it) {
    std::string name = stringField(entry, fileKey);
    if (name.empty()) continue;
    std::optional<std::string> source = readResource(bundle, name);
    if (!source) {
      if (error != nullptr) *error = bundle.bundlePath() + ": cannot read " + name;
      return false;
    }
    sources.push_back(std::move(*source));
  }
  return true;
}

// The host of "host[:port]", "[v6]:port" or "scheme://host[:port]/…", lower case.
std::string hostOf(std::string text) {
  if (std::size_t scheme = text.find("://"); scheme != std::string::npos) {
    text = text.substr(scheme + 3);
  }
  text = text.substr(0, text.find_first_of("/?#"));
  if (!text.empty() && text.front() == '[') {
    text = text.substr(1, text.find(']') - 1);
  } else {
    text = text.substr(0, text.find(':'));
  }
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The bundle's development authority, when its QVDeployment names one that exists.
void addAuthority(const LinuxBundle& bundle, const std::string& appBundlePath,
                  std::vector<DevelopmentAuthority>& authorities) {
  std::optional<Json> info = bundle.infoDictionary();
  const Json* deployment = info ? json::object(*info, "QVDeployment") : nullptr;
  if (deployment == nullptr) return;
  std::string name = stringField(*deployment, "CACertificates");
  std::optional<std::string> path = name.empty() ? std::nullopt : bundle.pathForResource(name, "");
  if (!path) return;
  DevelopmentAuthority authority{*path, {}, appBundlePath};
  for (const char* key : {"WebOrigin", "BareDomain", "AuthHost", "AnalyticsHost", "LogHost"}) {
    std::string host = hostOf(stringField(*deployment, key));
    if (!host.empty() &&
        std::find(authority.hosts.begin(), authority.hosts.end(), host) == authority.hosts.end()) {
      authority.hosts.push_back(std::move(host));
    }
  }
  if (std::find(authorities.begin(), authorities.end(), authority) == authorities.end()) {
    authorities.push_back(std::move(authority));
  }
}

// Why the file or folder at `path` cannot be trusted to hold what its owner put there:
// others may write it, or it belongs to another user. None when it is fine, or when it
// does not exist and need not.
std::optional<std::string> ownershipProblem(const std::string& path, bool mustExist) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return mustExist ? std::optional<std::string>(path + " is missing") : std::nullopt;
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return path + " is writable by others";
  if (info.st_uid != ::getuid() && info.st_uid != 0) return path + " belongs to another user";
  return std::nullopt;
}

// Checks the Contents folder, Info.plist and executable of the bundle at `path`.
std::optional<std::string> bundleOwnershipProblem(const LinuxBundle& bundle) {
  const std::string contents = bundle.bundlePath() + "/Contents";
  if (auto problem = ownershipProblem(contents, true)) return problem;
  if (auto problem = ownershipProblem(contents + "/Info.plist", true)) return problem;
  std::string executable = bundle.infoString("CFBundleExecutable").value_or("");
  if (executable.empty() || executable.find('/') != std::string::npos) return std::nullopt;
  return ownershipProblem(contents + "/MacOS/" + executable, false);
}

}  // namespace

std::optional<ExtensionInfo> loadExtension(const std::string& appexPath,
                                           const std::string& appIdentifier,
                                           const std::string& appName, std::string* error) {
  auto fail = [&](const std::string& reason) -> std::optional<ExtensionInfo> {
    if (error != nullptr) *error = appexPath + ": " + reason;
    return std::nullopt;
  };
  LinuxBundle bundle(appexPath);
  std::optional<Json> info = bundle.infoDictionary();
  if (!info || !info->is_object()) return fail("no readable Contents/Info.plist");
  const Json* extension = json::object(*info, "NSExtension");
  if (extension == nullptr ||
      stringField(*extension, "NSExtensionPointIdentifier") != "com.apple.Safari.extension") {
    return fail("not a Safari app extension");
  }
  ExtensionInfo result;
  result.identifier = stringField(*info, "CFBundleIdentifier");
  if (result.identifier.empty()) return fail("no CFBundleIdentifier");
  std::string executable = stringField(*info, "CFBundleExecutable");
  // The executable lives in Contents/MacOS itself, never elsewhere.
  if (executable.empty() || executable.find('/') != std::string::npos || executable == "." ||
      executable == "..") {
    return fail("no usable CFBundleExecutable");
  }
  result.executablePath = appexPath + "/Contents/MacOS/" + executable;
  result.displayName = stringField(*info, "CFBundleDisplayName");
  if (result.displayName.empty()) result.displayName = stringField(*info, "CFBundleName");
  if (result.displayName.empty()) result.displayName = result.identifier;
  result.bundlePath = appexPath;
  result.appIdentifier = appIdentifier;
  result.appName = appName;

  std::string fileError;
  if (!readDeclaredFiles(bundle, *extension, "SFSafariContentScript", "Script",
                         result.contentScripts, &fileError) ||
      !readDeclaredFiles(bundle, *extension, "SFSafariStyleSheet", "Style Sheet",
                         result.styleSheets, &fileError)) {
    if (error != nullptr) *error = fileError;
    return std::nullopt;
  }
  if (const Json* item = json::object(*extension, "SFSafariToolbarItem")) {
    ToolbarItemInfo toolbar;
    toolbar.action = stringField(*item, "Action");
    if (toolbar.action.empty()) toolbar.action = "Command";
    toolbar.label = stringField(*item, "Label");
    if (toolbar.label.empty()) toolbar.label = result.displayName;
    toolbar.imageName = stringField(*item, "Image");
    if (!toolbar.imageName.empty())
      toolbar.imagePath = bundle.pathForResource(toolbar.imageName, "");
    result.toolbarItem = std::move(toolbar);
  }
  return result;
}

std::optional<RegisteredApp> loadRegisteredApp(const std::string& bundlePath, std::string* error) {
  auto refuse = [&](const std::string& reason) -> std::optional<RegisteredApp> {
    if (error != nullptr) *error = bundlePath + " is refused: " + reason;
    return std::nullopt;
  };
  LinuxBundle bundle(bundlePath);
  std::optional<std::string> identifier = bundle.bundleIdentifier();
  if (!identifier || identifier->empty()) {
    return refuse("no readable Contents/Info.plist with an identifier");
  }
  if (auto problem = bundleOwnershipProblem(bundle)) return refuse(*problem);
  RegisteredApp app;
  app.identifier = *identifier;
  app.bundlePath = bundlePath;
  std::string appName = bundle.infoString("CFBundleName").value_or("");
  addAuthority(bundle, bundlePath, app.authorities);

  std::vector<std::string> appexPaths;
  std::error_code iterationError;
  for (std::filesystem::directory_iterator it(bundlePath + "/Contents/PlugIns", iterationError),
       end;
       !iterationError && it != end; it.increment(iterationError)) {
    if (it->path().extension() == ".appex") appexPaths.push_back(it->path().string());
  }
  std::sort(appexPaths.begin(), appexPaths.end());
  std::string skipped;
  for (const std::string& appexPath : appexPaths) {
    std::string reason;
    std::optional<ExtensionInfo> extension =
        loadExtension(appexPath, app.identifier, appName, &reason);
    if (!extension) {
      skipped += (skipped.empty() ? "" : "; ") + reason;
      continue;
    }
    // An extension speaks for its application: it may not borrow another's identity.
    if (!extension->identifier.starts_with(app.identifier + ".")) {
      return refuse(extension->identifier + " does not belong to " + app.identifier);
    }
    LinuxBundle appex(appexPath);
    if (auto problem = bundleOwnershipProblem(appex)) return refuse(*problem);
    extension->appBundlePath = bundlePath;
    addAuthority(appex, bundlePath, app.authorities);
    app.extensions.push_back(std::move(*extension));
  }
  if (error != nullptr) *error = skipped;
  return app;
}

}  // namespace qv::host
