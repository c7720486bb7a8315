#include "platform/linux/system/LinuxBundle.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "tests/support/TempDir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

constexpr const char* kInfoPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key>
  <string>com.quorvane.safari.ext</string>
  <key>CFBundleName</key>
  <string>Quorvane &amp; “Friends” ü</string>
  <key>Enabled</key>
  <true/>
  <key>Hidden</key>
  <false/>
  <key>Count</key>
  <integer>42</integer>
  <key>Offset</key>
  <integer>-7</integer>
  <key>Ratio</key>
  <real>0.25</real>
  <key>Built</key>
  <date>2024-03-05T06:07:08Z</date>
  <key>Blob</key>
  <data>aGVsbG8=</data>
  <key>NSExtension</key>
  <dict>
    <key>SFSafariContentScript</key>
    <array>
      <dict><key>Script</key><string>a.js</string></dict>
      <dict><key>Script</key><string>b.js</string></dict>
    </array>
    <key>Nothing</key>
    <array/>
    <key>Mixed</key>
    <array><integer>1</integer><string>two</string><real>3.5</real><false/></array>
  </dict>
</dict>
</plist>
)";

TEST(LinuxBundleTest, ConvertsInfoPlistToJson) {
  test::TempDir dir;
  dir.write("X.app/Contents/Info.plist", kInfoPlist);
  LinuxBundle bundle(dir.path() + "/X.app");

  auto info = bundle.infoDictionary();
  ASSERT_TRUE(info.has_value());
  Json expected = Json::parse(R"({
    "CFBundleIdentifier": "com.quorvane.safari.ext",
    "CFBundleName": "Quorvane & “Friends” ü",
    "Enabled": true,
    "Hidden": false,
    "Count": 42,
    "Offset": -7,
    "Ratio": 0.25,
    "Built": "2024-03-05T06:07:08Z",
    "Blob": "aGVsbG8=",
    "NSExtension": {
      "SFSafariContentScript": [{"Script": "a.js"}, {"Script": "b.js"}],
      "Nothing": [],
      "Mixed": [1, "two", 3.5, false]
    }
  })");
  // Ordered JSON: equal only with the members in file order.
  EXPECT_EQ(*info, expected) << info->dump(2);
  EXPECT_TRUE((*info)["Count"].is_number_integer());
  EXPECT_TRUE((*info)["Ratio"].is_number_float());
  EXPECT_EQ(bundle.bundleIdentifier(), "com.quorvane.safari.ext");
  EXPECT_EQ(bundle.bundlePath(), dir.path() + "/X.app");
}

TEST(LinuxBundleTest, MissingOrBrokenInfoPlistIsAbsent) {
  test::TempDir dir;
  LinuxBundle missing(dir.path() + "/Missing.app");
  EXPECT_FALSE(missing.infoDictionary().has_value());
  EXPECT_FALSE(missing.bundleIdentifier().has_value());

  dir.write("Broken.app/Contents/Info.plist", "<?xml version=\"1.0\"?><plist><dict><key>A</key>");
  LinuxBundle broken(dir.path() + "/Broken.app");
  EXPECT_FALSE(broken.infoDictionary().has_value());

  // A plist whose top level is not a dictionary has no identifier.
  dir.write("Array.app/Contents/Info.plist",
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string></array>"
            "</plist>");
  LinuxBundle array(dir.path() + "/Array.app");
  ASSERT_TRUE(array.infoDictionary().has_value());
  EXPECT_EQ(*array.infoDictionary(), Json::array({"x"}));
  EXPECT_FALSE(array.bundleIdentifier().has_value());
}

TEST(LinuxBundleTest, InfoDictionaryIsReadOnceAtConstruction) {
  test::TempDir dir;
  dir.write("X.app/Contents/Info.plist", kInfoPlist);
  LinuxBundle bundle(dir.path() + "/X.app");
  fs::remove(dir.path() + "/X.app/Contents/Info.plist");
  EXPECT_EQ(bundle.bundleIdentifier(), "com.quorvane.safari.ext");
}

TEST(LinuxBundleTest, FindsResourcesOnlyInContentsResources) {
  test::TempDir dir;
  std::string bytes("line1\n\0\xff\x01 end", 14);
  std::string script = dir.write("X.app/Contents/Resources/Quorvane-bg.js", bytes);
  dir.write("X.app/Contents/Resources/README", "no extension");
  dir.write("X.app/Contents/Resources/folder.js/inner.txt", "a directory named like a resource");
  dir.write("X.app/Contents/elsewhere.js", "outside Resources");
  dir.write("X.app/Contents/Resources/../Info.plist", kInfoPlist);
  LinuxBundle bundle(dir.path() + "/X.app");

  ASSERT_EQ(bundle.pathForResource("Quorvane-bg", "js"), script);
  EXPECT_EQ(bundle.pathForResource("README", ""), dir.path() + "/X.app/Contents/Resources/README");
  EXPECT_FALSE(bundle.pathForResource("Quorvane-bg", "css").has_value());
  EXPECT_FALSE(bundle.pathForResource("missing", "js").has_value());
  EXPECT_FALSE(bundle.pathForResource("folder", "js").has_value());
  EXPECT_FALSE(bundle.pathForResource("elsewhere", "js").has_value());
  EXPECT_FALSE(bundle.pathForResource("../Info", "plist").has_value());

  auto contents = bundle.contentsOfFile(script);
  ASSERT_TRUE(std::holds_alternative<std::string>(contents));
  EXPECT_EQ(std::get<std::string>(contents), bytes);
}

TEST(LinuxBundleTest, ReadErrorsDescribeTheCause) {
  test::TempDir dir;
  LinuxBundle bundle(dir.path() + "/X.app");

  auto missing = bundle.contentsOfFile(dir.path() + "/nope.json");
  ASSERT_TRUE(std::holds_alternative<ReadError>(missing));
  EXPECT_NE(std::get<ReadError>(missing).localizedDescription.find("No such file or directory"),
            std::string::npos)
      << std::get<ReadError>(missing).localizedDescription;

  auto directory = bundle.contentsOfFile(dir.path());
  ASSERT_TRUE(std::holds_alternative<ReadError>(directory));
  EXPECT_NE(std::get<ReadError>(directory).localizedDescription.find("Is a directory"),
            std::string::npos);

  std::string locked = dir.write("locked.txt", "secret");
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  if (geteuid() != 0) {  // root reads regardless of mode
    auto denied = bundle.contentsOfFile(locked);
    ASSERT_TRUE(std::holds_alternative<ReadError>(denied));
    EXPECT_NE(std::get<ReadError>(denied).localizedDescription.find("Permission denied"),
              std::string::npos);
  }
}

// The main bundle comes from where the executable lies, not from the working directory.
TEST(LinuxBundleTest, MainBundleIsTwoLevelsAboveTheExecutable) {
  test::TempDir dir;
  dir.write("Probe.app/Contents/Info.plist", kInfoPlist);
  fs::create_directories(dir.path() + "/Probe.app/Contents/MacOS");
  std::string probe = dir.path() + "/Probe.app/Contents/MacOS/probe";
  fs::copy_file(QV_BUNDLE_PROBE_PATH, probe);

  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(("cd / && '" + probe + "'").c_str(), "r"),
                                             pclose);
  ASSERT_NE(pipe, nullptr);
  std::string output;
  std::array<char, 512> buffer{};
  while (std::fgets(buffer.data(), buffer.size(), pipe.get()) != nullptr) output += buffer.data();
  int status = pclose(pipe.release());
  ASSERT_EQ(status, 0) << output;

  std::string expected = fs::canonical(dir.path() + "/Probe.app").string();
  EXPECT_EQ(output, expected + "\ncom.quorvane.safari.ext\n");
}

}  // namespace
}  // namespace qv
