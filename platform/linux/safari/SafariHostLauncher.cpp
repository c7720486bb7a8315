#include "platform/linux/safari/SafariHostLauncher.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform/linux/system/GObjectRef.h"

namespace qv::safarihost {
namespace {

constexpr const char* kDesktopEntry = "safari-host.desktop";

bool startFromDesktopEntry() {
  GObjectRef<GDesktopAppInfo> info(g_desktop_app_info_new(kDesktopEntry));
  if (!info) return false;
  GError* rawError = nullptr;
  // Without a launch context the browser opens on the display this process runs on.
  if (!g_app_info_launch(G_APP_INFO(info.get()), nullptr, nullptr, &rawError)) {
    GErrorPtr error(rawError);
    std::fprintf(stderr, "could not start %s: %s\n", kDesktopEntry, error.get()->message);
    return false;
  }
  std::fprintf(stderr, "started safari-host through %s\n",
               g_desktop_app_info_get_filename(info.get()));
  return true;
}

bool startExecutable(const std::filesystem::path& executable) {
  if (access(executable.c_str(), X_OK) != 0) return false;
  std::string program = executable.string();
  char* argv[] = {program.data(), nullptr};
  GError* rawError = nullptr;
  // Without G_SPAWN_DO_NOT_REAP_CHILD, GLib forks twice: init adopts the browser.
  if (!g_spawn_async(nullptr, argv, nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, nullptr,
                     &rawError)) {
    GErrorPtr error(rawError);
    std::fprintf(stderr, "could not start %s: %s\n", program.c_str(), error.get()->message);
    return false;
  }
  std::fprintf(stderr, "started %s\n", program.c_str());
  return true;
}

}  // namespace

bool startSafariHost(const std::string& appBundlePath) {
  if (startFromDesktopEntry()) return true;
  const std::filesystem::path beside = std::filesystem::path(appBundlePath).parent_path();
  for (const std::filesystem::path& candidate :
       {beside / "bin/safari-host", beside.parent_path().parent_path() / "bin/safari-host"}) {
    if (startExecutable(candidate)) return true;
  }
  std::fprintf(stderr, "could not find safari-host: no %s and none beside %s\n", kDesktopEntry,
               appBundlePath.c_str());
  return false;
}

}  // namespace qv::safarihost
