#include "tests/support/gtk/TestBundle.h"

#include <filesystem>
#include <fstream>

#include "platform/Json.h"
#include "tests/support/gtk/PngImages.h"

namespace qv::test {
namespace {

constexpr const char* kContentScript = R"JS((() => {
  const received = [];
  window.qvTest = { received };
  safari.self.addEventListener("message", (event) => {
    received.push({ name: event.name, hasMessage: event.message !== undefined,
                    message: event.message === undefined ? null : event.message });
  });
  safari.extension.dispatchMessage("hello", { url: location.href });
})();
)JS";

constexpr const char* kStyleSheet = "body { outline: 3px solid rgb(0, 200, 0); }\n";

std::string plistString(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '&')
      escaped += "&amp;";
    else if (c == '<')
      escaped += "&lt;";
    else if (c == '>')
      escaped += "&gt;";
    else
      escaped += c;
  }
  return "<string>" + escaped + "</string>";
}

std::string plist(const std::string& dictBody) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\"><dict>\n" +
         dictBody + "</dict></plist>\n";
}

// A development bundle's deployment: its authority vouches for 127.0.0.1 only.
std::string deployment(const std::optional<std::string>& caName) {
  if (!caName) return "";
  return "<key>QVDeployment</key><dict><key>CACertificates</key>" + plistString(*caName) +
         "<key>WebOrigin</key>" + plistString("https://127.0.0.1") + "<key>BareDomain</key>" +
         plistString("127.0.0.1") + "<key>AuthHost</key>" + plistString("127.0.0.1") +
         "<key>AnalyticsHost</key>" + plistString("127.0.0.1") + "<key>LogHost</key>" +
         plistString("127.0.0.1") + "</dict>\n";
}

void writeAppex(const std::string& appex, const std::string& identifier, const std::string& label,
                const std::string& icon) {
  namespace fs = std::filesystem;
  fs::create_directories(appex + "/Contents/MacOS");
  fs::create_directories(appex + "/Contents/Resources");
  std::ofstream(appex + "/Contents/Info.plist") << plist(
      "<key>CFBundleIdentifier</key>" + plistString(identifier) + "<key>CFBundleName</key>" +
      plistString(label) + "<key>CFBundleExecutable</key>" + plistString("QvTestExtension") +
      "<key>NSExtension</key><dict>"
      "<key>NSExtensionPointIdentifier</key>" +
      plistString("com.apple.Safari.extension") + "<key>NSExtensionPrincipalClass</key>" +
      plistString("SafariExtensionHandler") +
      "<key>SFSafariContentScript</key><array><dict><key>Script</key>" + plistString("content.js") +
      "</dict></array>"
      "<key>SFSafariStyleSheet</key><array><dict><key>Style Sheet</key>" +
      plistString("style.css") +
      "</dict></array>"
      "<key>SFSafariToolbarItem</key><dict><key>Action</key>" +
      plistString("Popover") + "<key>Identifier</key>" + plistString("Button") +
      "<key>Image</key>" + plistString(TestBundle::kImageName) + "<key>Label</key>" +
      plistString(label) + "</dict></dict>\n");
  std::ofstream(appex + "/Contents/Resources/content.js") << kContentScript;
  std::ofstream(appex + "/Contents/Resources/style.css") << kStyleSheet;
  std::ofstream(appex + "/Contents/Resources/" + std::string(TestBundle::kImageName),
                std::ios::binary)
      << icon;
  fs::create_symlink(QV_TEST_EXTENSION_PATH, appex + "/Contents/MacOS/QvTestExtension");
}

}  // namespace

std::string TestBundle::create(const std::string& root, const std::string& dataHome,
                               const std::optional<std::string>& caPemPath, bool withOther) {
  namespace fs = std::filesystem;
  std::string app = root + "/TestApp.app";
  fs::create_directories(app + "/Contents/Resources");
  std::optional<std::string> caName;
  if (caPemPath) {
    caName = "dev-ca.pem";
    fs::copy_file(*caPemPath, app + "/Contents/Resources/dev-ca.pem");
  }
  std::ofstream(app + "/Contents/Info.plist")
      << plist("<key>CFBundleIdentifier</key>" + plistString(kAppIdentifier) +
               "<key>CFBundleName</key>" + plistString("QV Test App") +
               "<key>CFBundleExecutable</key>" + plistString("TestApp") + deployment(caName));
  writeAppex(app + "/Contents/PlugIns/QvTestExtension.appex", kExtensionIdentifier, "QV Test",
             solidPng(16, 16, 0, 0, 255));
  if (withOther) {
    writeAppex(app + "/Contents/PlugIns/QvTestOther.appex", kOtherIdentifier, "QV Other",
               solidPng(16, 16, 0, 160, 0));
  }

  fs::create_directories(dataHome + "/safari-host/apps");
  std::ofstream(dataHome + "/safari-host/apps/" + std::string(kAppIdentifier) + ".json")
      << Json{{"bundlePath", app}}.dump();
  return app;
}

}  // namespace qv::test
