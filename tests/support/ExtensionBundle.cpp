#include "tests/support/ExtensionBundle.h"

#include <filesystem>
#include <fstream>

namespace qv::test {
namespace {

bool writeFile(const std::filesystem::path& path, const std::string& contents) {
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  std::ofstream out(path, std::ios::binary);
  out << contents;
  return static_cast<bool>(out.flush());
}

std::string infoPlist(const ExtensionBundleContents& contents) {
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleName</key><string>Quorvane</string>
	<key>CFBundleIdentifier</key><string>com.quorvane.safari.ext</string>
	<key>CFBundleExecutable</key><string>Quorvane_Safari_Extension</string>
	<key>CFBundleShortVersionString</key><string>1.0.0</string>
	<key>QVDeployment</key>
	<dict>
		<key>WebOrigin</key><string>https://www.)" +
         contents.bareDomain + R"(</string>
		<key>BareDomain</key><string>)" +
         contents.bareDomain + R"(</string>
		<key>AuthHost</key><string>auth.)" +
         contents.bareDomain + R"(</string>
		<key>AnalyticsHost</key><string>vorn.)" +
         contents.bareDomain + R"(</string>
		<key>LogHost</key><string>)" +
         contents.logHost + R"(</string>
	</dict>
</dict>
</plist>
)";
}

}  // namespace

std::string writeExtensionBundle(const std::string& directory,
                                 const ExtensionBundleContents& contents,
                                 const std::optional<std::string>& executable) {
  std::filesystem::path bundle = std::filesystem::path(directory) / "Test.appex";
  std::filesystem::path resources = bundle / "Contents" / "Resources";
  bool ok = writeFile(bundle / "Contents" / "Info.plist", infoPlist(contents)) &&
            writeFile(resources / "clientInfo.json",
                      R"({"clientType":"safari-extension","clientVersion":"1.0.0",)"
                      R"("vornClientType":"safari_extension"})") &&
            writeFile(resources / "Quorvane-bg.js", contents.backgroundScript) &&
            writeFile(resources / "bg_index.html", contents.backgroundTemplate) &&
            writeFile(resources / "Quorvane-popup.js", contents.popupScript) &&
            writeFile(resources / "Quorvane-popup.styles.css", contents.popupStyleSheet);
  if (!ok) return "";
  if (executable) {
    std::filesystem::path target = bundle / "Contents" / "MacOS" / "Quorvane_Safari_Extension";
    std::error_code error;
    std::filesystem::create_directories(target.parent_path(), error);
    std::filesystem::copy_file(*executable, target,
                               std::filesystem::copy_options::overwrite_existing, error);
    if (error) return "";
  }
  return bundle.string();
}

Json passToBgPageUserInfo(const std::string& srcPageId, const std::string& json) {
  return Json{{"meta", {{"srcPageId", srcPageId}}}, {"data", {{"json", json}}}};
}

}  // namespace qv::test
