#include "safari-host/ExtensionInfo.h"

#include <algorithm>
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

void addCaCertificate(const LinuxBundle& bundle, std::vector<std::string>& paths) {
  std::optional<Json> info = bundle.infoDictionary();
  if (!info) return;
  const Json* deployment = json::object(*info, "QVDeployment");
  if (deployment == nullptr) return;
  std::string name = stringField(*deployment, "CACertificates");
  if (name.empty()) return;
  if (auto path = bundle.pathForResource(name, "")) {
    if (std::find(paths.begin(), paths.end(), *path) == paths.end()) paths.push_back(*path);
  }
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
  LinuxBundle bundle(bundlePath);
  std::optional<std::string> identifier = bundle.bundleIdentifier();
  if (!identifier || identifier->empty()) {
    if (error != nullptr)
      *error = bundlePath + ": no readable Contents/Info.plist with an identifier";
    return std::nullopt;
  }
  RegisteredApp app;
  app.identifier = *identifier;
  app.bundlePath = bundlePath;
  std::string appName = stringField(bundle.infoDictionary().value_or(Json()), "CFBundleName");
  addCaCertificate(bundle, app.caCertificatePaths);

  std::vector<std::string> appexPaths;
  std::error_code iterationError;
  for (const auto& entry :
       std::filesystem::directory_iterator(bundlePath + "/Contents/PlugIns", iterationError)) {
    if (entry.path().extension() == ".appex") appexPaths.push_back(entry.path().string());
  }
  std::sort(appexPaths.begin(), appexPaths.end());
  for (const std::string& appexPath : appexPaths) {
    std::string reason;
    if (auto extension = loadExtension(appexPath, app.identifier, appName, &reason)) {
      addCaCertificate(LinuxBundle(appexPath), app.caCertificatePaths);
      app.extensions.push_back(std::move(*extension));
    } else if (error != nullptr) {
      *error += (error->empty() ? "" : "; ") + reason;
    }
  }
  return app;
}

}  // namespace qv::host
