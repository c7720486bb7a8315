// The product as a user installs it: `cmake --install` into a staging folder, the Debian
// package from cpack, and the companion started from the installed tree.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "ipc/ControlSocket.h"
#include "ipc/Protocol.h"
#include "platform/linux/safari/EnabledStore.h"
#include "platform/linux/system/UniqueFd.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ExtensionProcess.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"
#include "tests/support/gtk/AccessibilityTree.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kBuildDir = QV_BUILD_DIR;
constexpr const char* kBundle = "usr/lib/quorvane/Quorvane_for_Safari.app";

// The build installed under `root` with prefix /usr, as the package lays it out.
bool installInto(const std::string& root, std::string* log) {
  CommandResult installed =
      runCommand({"cmake", "--install", kBuildDir, "--prefix", "/usr"}, {"DESTDIR=" + root}, 120s);
  *log = installed.out + installed.err;
  return installed.exitCode == 0;
}

TEST(Package, anInstallHasEveryFileAndTheDesktopFilesValidate) {
  TempDir root;
  std::string log;
  ASSERT_TRUE(installInto(root.path(), &log)) << log;
  const fs::path usr = fs::path(root.path()) / "usr";
  for (const char* file : {
           "bin/safari-host",
           "bin/qv-defaults",
           "bin/quorvane-for-safari",
           "lib/quorvane/Quorvane_for_Safari.app/Contents/Info.plist",
           "lib/quorvane/Quorvane_for_Safari.app/Contents/MacOS/Quorvane_for_Safari",
           "lib/quorvane/Quorvane_for_Safari.app/Contents/PlugIns/"
           "Quorvane_Safari_Extension.appex/Contents/MacOS/Quorvane_Safari_Extension",
           "lib/quorvane/Quorvane_for_Safari.app/Contents/PlugIns/"
           "Quorvane_Safari_Extension.appex/Contents/Resources/Quorvane-bg.js",
           "share/applications/safari-host.desktop",
           "share/applications/com.quorvane.safari.desktop",
           "share/icons/hicolor/scalable/apps/safari-host.svg",
           "share/icons/hicolor/scalable/apps/com.quorvane.safari.svg",
           "share/metainfo/com.quorvane.safari.metainfo.xml",
           "share/metainfo/safari-host.metainfo.xml",
           "share/doc/quorvane-for-safari/copyright",
       }) {
    EXPECT_TRUE(fs::is_regular_file(usr / file)) << file << " is not installed";
  }
  // safari-host refuses a bundle that group or others may change.
  for (const char* file : {"lib/quorvane/Quorvane_for_Safari.app/Contents",
                           "lib/quorvane/Quorvane_for_Safari.app/Contents/Info.plist"}) {
    const fs::perms perms = fs::status(usr / file).permissions();
    EXPECT_EQ(perms & (fs::perms::group_write | fs::perms::others_write), fs::perms::none) << file;
  }

  CommandResult entries =
      runCommand({"desktop-file-validate", usr / "share/applications/safari-host.desktop",
                  usr / "share/applications/com.quorvane.safari.desktop"},
                 {});
  EXPECT_EQ(entries.exitCode, 0) << entries.out << entries.err;
  std::ifstream browserEntry(usr / "share/applications/com.quorvane.safari.desktop");
  std::string text((std::istreambuf_iterator<char>(browserEntry)), {});
  EXPECT_NE(text.find("MimeType=x-scheme-handler/quorvane.extension;"), std::string::npos);
  EXPECT_NE(text.find("Exec=quorvane-for-safari %u"), std::string::npos);

  CommandResult metainfo = runCommand({"appstreamcli", "validate", "--no-net",
                                       usr / "share/metainfo/com.quorvane.safari.metainfo.xml",
                                       usr / "share/metainfo/safari-host.metainfo.xml"},
                                      {}, 60s);
  EXPECT_EQ(metainfo.exitCode, 0) << metainfo.out << metainfo.err;
}

TEST(Package, theDebianPackageHasNoLintianErrors) {
  TempDir out;
  CommandResult packed =
      runCommand({"cpack", "-G", "DEB", "--config", std::string(kBuildDir) + "/CPackConfig.cmake",
                  "-B", out.path()},
                 {}, 300s);
  ASSERT_EQ(packed.exitCode, 0) << packed.out << packed.err;
  std::optional<fs::path> deb;
  for (const auto& entry : fs::directory_iterator(out.path())) {
    if (entry.path().extension() == ".deb") deb = entry.path();
  }
  ASSERT_TRUE(deb) << packed.out;
  CommandResult contents = runCommand({"dpkg-deb", "--contents", *deb}, {});
  EXPECT_NE(contents.out.find("./usr/bin/safari-host"), std::string::npos) << contents.out;

  CommandResult lint = runCommand({"lintian", "--tag-display-limit", "0", *deb}, {}, 300s);
  std::string errors;
  std::istringstream lines(lint.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("E: ", 0) == 0) errors += line + "\n";
  }
  EXPECT_TRUE(errors.empty()) << errors;
  EXPECT_NE(lint.exitCode, -1) << "lintian did not finish: " << lint.err;
}

// The pid of whatever listens on the control socket at `path`; absent when nothing does.
std::optional<pid_t> listenerOf(const std::string& path) {
  UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (!socket || path.size() >= sizeof(address.sun_path)) return std::nullopt;
  path.copy(address.sun_path, path.size());
  if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    return std::nullopt;
  }
  ucred peer{};
  socklen_t length = sizeof(peer);
  if (::getsockopt(socket.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return std::nullopt;
  return peer.pid;
}

// Ends the browser the companion started (it is not our child), and waits until it is gone.
bool stopBrowser(const std::string& socketPath) {
  std::optional<pid_t> pid = listenerOf(socketPath);
  if (!pid) return true;
  ::kill(*pid, SIGTERM);
  return waitUntil([&] { return ::kill(*pid, 0) != 0; }, 20s);
}

// Ends every process running `executable` (browsers the companion started are not our
// children, and one started just before the companion stopped would outlive the test
// holding its output open), and waits until they are gone.
bool stopEveryProcessOf(const fs::path& executable) {
  std::vector<pid_t> running;
  std::error_code ignored;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc", ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (fs::read_symlink(entry.path() / "exe", ignored) != executable) continue;
    pid_t pid = static_cast<pid_t>(std::stol(name));
    ::kill(pid, SIGTERM);
    running.push_back(pid);
  }
  return waitUntil(
      [&] {
        for (pid_t pid : running) {
          if (::kill(pid, 0) == 0) return false;
        }
        return true;
      },
      20s);
}

TEST(Package, theInstalledCompanionStartsTheBrowserWhenItIsClosed) {
  ASSERT_TRUE(startAccessibilityBus()) << "no accessibility bus: dbus-daemon and at-spi2-core?";
  TempDir root;
  std::string log;
  ASSERT_TRUE(installInto(root.path(), &log)) << log;
  const std::string usr = root.path() + "/usr";
  const std::string bundle = root.path() + "/" + kBundle;
  TempDir config, data, runtime;
  const std::string socketPath =
      runtime.path() + "/safari-host-" + std::to_string(getuid()) + "/control.sock";
  // The extension is on, as the browser stored it; the browser is not running.
  ASSERT_TRUE(safarihost::EnabledStore(config.path() + "/safari-host/extensions.json")
                  .setEnabled("com.quorvane.safari.ext", bundle, true));
  // The desktop finds the installed entries and programs, as it would under /usr.
  const std::vector<std::string> environment = {
      "XDG_CONFIG_HOME=" + config.path(), "XDG_DATA_HOME=" + data.path(),
      "XDG_RUNTIME_DIR=" + runtime.path(), "XDG_DATA_DIRS=" + usr + "/share",
      "PATH=" + usr + "/bin:" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")};
  std::string error;
  std::optional<ChildProcess> companion =
      ChildProcess::start({usr + "/bin/quorvane-for-safari"}, {.environment = environment}, &error);
  ASSERT_TRUE(companion) << error;

  // The state comes from the stored choice: the all-set panel, with the browser closed.
  std::vector<std::string> texts;
  EXPECT_TRUE(waitUntil(
      [&] {
        texts = showingTexts(companion->pid()).value_or(std::vector<std::string>{});
        return anyContains(texts, "Ok, got it");
      },
      30s))
      << "the companion did not show the all-set panel; on screen: "
      << testing::PrintToString(texts);
  // Seeing the extension on, it asks for the sign-in tab, which starts the browser.
  EXPECT_TRUE(waitUntil([&] { return listenerOf(socketPath).has_value(); }, 30s))
      << "no browser started for the sign-in tab";
  ASSERT_TRUE(stopBrowser(socketPath));

  // Closed again: "Ok, got it" brings it up.
  ASSERT_TRUE(pressButton(companion->pid(), "Ok, got it"));
  EXPECT_TRUE(waitUntil([&] { return listenerOf(socketPath).has_value(); }, 30s))
      << "pressing \"Ok, got it\" started no browser";
  std::optional<pid_t> browser = listenerOf(socketPath);
  ASSERT_TRUE(browser);
  std::error_code ignored;
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(*browser) + "/exe", ignored),
            fs::path(usr + "/bin/safari-host"))
      << "the browser did not come from the installed desktop entry";
  // The companion first, so that it starts no browser after the last one is stopped.
  companion->signal(SIGTERM);
  companion->finish(10s);
  EXPECT_TRUE(stopEveryProcessOf(usr + "/bin/safari-host"));
}

TEST(Package, theInstalledExtensionOpensTheInspectorForItsBackgroundPage) {
  ASSERT_TRUE(startAccessibilityBus()) << "no accessibility bus: dbus-daemon and at-spi2-core?";
  TempDir root;
  std::string log;
  ASSERT_TRUE(installInto(root.path(), &log)) << log;
  PrivateXdgHomes homes;
  ScopedEnv cacheHome("XDG_CACHE_HOME", homes.config.path() + "/cache");
  std::string error;
  std::optional<ExtensionProcess> extension = ExtensionProcess::start(
      root.path() + "/" + kBundle +
          "/Contents/PlugIns/Quorvane_Safari_Extension.appex/Contents/MacOS/"
          "Quorvane_Safari_Extension",
      &error);
  ASSERT_TRUE(extension) << error;
  ScriptedPeer browser;
  browser.serve(std::move(extension->hostEnd));
  const pid_t pid = extension->child.pid();
  // Nothing on screen: the background page is in no window, the popover is hidden (GTK
  // joins the accessibility bus only with a window to show).
  EXPECT_EQ(showingWindowCount(pid).value_or(0), 0u);

  ASSERT_TRUE(
      browser.connection()->notify(ipc::handler::showWebInspector, Json{{"target", "background"}}));
  EXPECT_TRUE(waitUntil([&] { return showingWindowCount(pid) == 1u; }, 30s))
      << "no inspector window opened; windows: " << testing::PrintToString(showingWindowCount(pid));
  EXPECT_TRUE(extension->child.running());
}

}  // namespace
}  // namespace qv::test
