// What the system costs while nothing happens: CPU time over a quiet minute, with the
// extension enabled and one assisted page open in safari-host, and the companion running.
//
//   idle_bench [--seconds=N] [--settle=N]
//
// Needs a display and a session bus:
//   dbus-run-session -- xvfb-run -a -s "-screen 0 1600x1200x24" build-release/bin/idle_bench
//
// After --settle seconds (10) for start-up work to end, CPU time (user + system) is read
// from /proc before and after --seconds (60) of idle, for:
//   extension   the extension process and every WebKit process below it
//   companion   the companion and its children
//   safari-host the browser process itself (its tab's web process runs the page's own
//               scripts, which are not ours)
//   bare        bare_background_page and its WebKit processes, idle over the same time:
//               what WebKit alone costs on this machine, printed beside the extension's
// Goals (GOAL lines): each at most 0.1% of one core.

#include <gtk/gtk.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/BarePage.h"
#include "bench/Goal.h"
#include "bench/ProcStats.h"
#include "tests/support/gtk/E2eSystem.h"

namespace {

struct Watched {
  std::string name;
  std::vector<pid_t> pids;
  std::vector<double> before = {};  // per process
};

int run(int seconds, int settle) {
  qv::test::E2eSystem system;
  bool withCompanion = qv::test::companionBuilt();
  if (!system.start(withCompanion) || !system.enableExtension() ||
      system.openAssistedPage("/").is_null()) {
    std::fprintf(stderr, "idle_bench: the system did not start\n");
    return 1;
  }
  // The yardstick idles beside the system, from the same moment.
  std::string error;
  std::optional<qv::bench::BarePage> bare = qv::bench::startBarePage(system, &error);
  if (!bare) {
    std::fprintf(stderr, "idle_bench: %s\n", error.c_str());
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(settle));

  pid_t host = system.host().pid();
  std::vector<pid_t> extension;
  for (pid_t pid : qv::bench::childrenNamed(host, "Quorvane_Safari_Extension")) {
    std::vector<pid_t> tree = qv::bench::processTree(pid);
    extension.insert(extension.end(), tree.begin(), tree.end());
  }
  if (extension.empty()) {
    std::fprintf(stderr, "idle_bench: no extension process runs under safari-host\n");
    return 1;
  }
  std::vector<Watched> watched{{"bare", qv::bench::processTree(bare->process.pid())},
                               {"extension", extension},
                               {"safari-host", {host}}};
  if (auto companion = system.companionPid()) {
    watched.push_back({"companion", qv::bench::processTree(*companion)});
  }
  for (Watched& each : watched) {
    for (pid_t pid : each.pids) each.before.push_back(qv::bench::cpuSeconds(pid).value_or(0));
  }
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  double barePercent = 0;
  for (const Watched& each : watched) {
    double used = 0;
    for (std::size_t index = 0; index < each.pids.size(); ++index) {
      // A process that ended meanwhile counts nothing rather than less than nothing.
      std::optional<double> now = qv::bench::cpuSeconds(each.pids[index]);
      double own = now ? *now - each.before[index] : 0;
      used += own;
      if (each.pids.size() > 1) {
        std::printf("idle       %-16s %.3f s\n", qv::bench::commandName(each.pids[index]).c_str(),
                    own);
      }
    }
    double percent = 100 * used / elapsed;
    std::printf("idle     %-11s %zu processes: %.3f s of CPU in %.0f s\n", each.name.c_str(),
                each.pids.size(), used, elapsed);
    if (each.name == "bare") {
      barePercent = percent;
      continue;  // a yardstick, with no goal of its own
    }
    std::string measured = qv::bench::format("%.3f%% of a core", percent);
    if (each.name == "extension") {
      measured += qv::bench::format(" (bare WebKit page: %.3f%%)", barePercent);
    }
    qv::bench::printGoal("idle " + each.name, measured, "<= 0.1% of a core", percent <= 0.1);
  }
  if (!withCompanion) std::printf("idle     companion not built: not measured\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  int settle = 10;
  for (int index = 1; index < argc; ++index) {
    if (!qv::bench::intOption(argv[index], "--seconds=", seconds) &&
        !qv::bench::intOption(argv[index], "--settle=", settle)) {
      std::fprintf(stderr, "usage: idle_bench [--seconds=N] [--settle=N]\n");
      return 2;
    }
  }
  if (seconds < 1 || settle < 0) {
    std::fprintf(stderr, "idle_bench: --seconds must be positive\n");
    return 2;
  }
  if (!gtk_init_check()) {
    std::fprintf(stderr, "idle_bench: cannot open a display\n");
    return 1;
  }
  return run(seconds, settle);
}
