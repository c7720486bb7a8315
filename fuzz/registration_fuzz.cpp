// A registration file and the Info.plist files of the bundle it names come from any
// application of the user. Whatever they hold, the browser lists only extensions whose
// identifiers sit under their application's, each from the bundle registered, with
// every file it declares inside that bundle. Input: the registration's JSON ("$B" stands
// for the bundle's path), NUL, the app's Info.plist, NUL, the extension's Info.plist.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "safari-host/ExtensionInfo.h"
#include "safari-host/ExtensionRegistry.h"

namespace {

namespace fs = std::filesystem;

void write(const fs::path& path, const std::string& contents, fs::perms perms) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << contents;
  fs::permissions(path, perms);
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

bool isWithin(const std::string& path, const fs::path& folder) {
  return fs::path(path).lexically_normal().string().rfind(folder.string() + "/", 0) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::size_t first = input.find('\0');
  std::size_t second = first == std::string::npos ? first : input.find('\0', first + 1);
  if (second == std::string::npos) return 0;

  static const fs::path root = [] {
    char folder[] = "/tmp/qv-registration-fuzz.XXXXXX";
    return fs::path(mkdtemp(folder));
  }();
  fs::remove_all(root / "apps");
  fs::remove_all(root / "Q.app");
  const fs::path bundle = root / "Q.app";
  const fs::path appex = bundle / "Contents/PlugIns/E.appex";
  constexpr fs::perms file = fs::perms::owner_read | fs::perms::owner_write |
                             fs::perms::group_read | fs::perms::others_read;
  constexpr fs::perms program = file | fs::perms::owner_exec;
  write(bundle / "Contents/Info.plist", input.substr(first + 1, second - first - 1), file);
  write(appex / "Contents/Info.plist", input.substr(second + 1), file);
  for (const char* name : {"Contents/MacOS/App", "Contents/MacOS/Extension"}) {
    write(bundle / name, "#!/bin/sh\n", program);
    write(appex / name, "#!/bin/sh\n", program);
  }
  write(appex / "Contents/Resources/script.js", "/* */", file);
  write(appex / "Contents/Resources/style.css", "/* */", file);
  // Named as the identifier most seeds declare; others are refused by name.
  write(root / "apps/com.example.app.json",
        replaceAll(input.substr(0, first), "$B", bundle.string()), file);

  qv::host::ExtensionRegistry registry((root / "apps").string(), (root / "choices.json").string());
  registry.rescan();
  for (const auto& extension : registry.extensions()) {
    if (extension->appBundlePath != bundle.string()) std::abort();
    if (extension->identifier.rfind(extension->appIdentifier + ".", 0) != 0) std::abort();
    if (!isWithin(extension->executablePath, appex)) std::abort();
    if (extension->toolbarItem && extension->toolbarItem->imagePath &&
        !isWithin(*extension->toolbarItem->imagePath, appex)) {
      std::abort();
    }
  }
  return 0;
}
