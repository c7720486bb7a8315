// The extension's cold start and memory, next to bare_background_page: WebKit alone
// showing the same background page in a process of its own.
//
//   startup_bench [--trials=N] [--relays=N] [--settle=N]
//
// Needs a display and a session bus:
//   dbus-run-session -- xvfb-run -a -s "-screen 0 1600x1200x24" build-release/bin/startup_bench
//
// Figures, all measured in this run:
//   bare       --trials (10) starts of bare_background_page: from spawning it until its
//              page posts "ready"; and its PSS (process and WebKit processes) --settle
//              (10) seconds after ready.
//   cold       --trials starts of the extension in a safari-host that traces. Each time no
//              extension process runs when the assisted page is loaded: the page's first
//              event starts the process. From the trace and the page: safari-host starting
//              the process, its background page's "ready", the first reply (the
//              background page's greeting) back in the content script; and when the
//              extension opened the display, had its platform ready and began loading
//              its background page, from its own trace marks.
//   memory     PSS summed over the extension process and every WebKit process below it,
//              --settle seconds after its page was greeted, and after --relays (100,000)
//              echoes from the content script through the background page; each process
//              listed.
// Goals (GOAL lines): first reply <= 1.25 x bare ready (p50s); PSS <= 1.3 x bare; PSS after
// the relays within 10% of before.

#include <gtk/gtk.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/BarePage.h"
#include "bench/Goal.h"
#include "bench/ProcStats.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"
#include "tests/support/gtk/E2eSystem.h"
#include "tools/qv-trace/TraceStages.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using qv::Json;
using qv::bench::percentile;

constexpr const char* kExtensionProcess = "Quorvane_Safari_Extension";

struct Options {
  int trials = 10;
  int relays = 100000;
  int settle = 10;
};

double micros(Clock::time_point at) {
  return std::chrono::duration<double, std::micro>(at.time_since_epoch()).count();
}

std::vector<pid_t> extensionTree(qv::test::E2eSystem& system) {
  std::vector<pid_t> tree;
  for (pid_t pid : qv::bench::childrenNamed(system.host().pid(), kExtensionProcess)) {
    std::vector<pid_t> below = qv::bench::processTree(pid);
    tree.insert(tree.end(), below.begin(), below.end());
  }
  return tree;
}

// PSS of every process in `pids` (those under 1 MiB, the sandbox's helpers, together),
// and the sum.
long printPss(const char* label, const std::vector<pid_t>& pids) {
  long total = 0, small = 0;
  std::size_t smallCount = 0;
  for (pid_t pid : pids) {
    long pss = qv::bench::pssKib(pid).value_or(0);
    total += pss;
    if (pss < 1024) {
      small += pss;
      ++smallCount;
      continue;
    }
    std::printf("memory   %-24s %-16s %7.1f MiB\n", label, qv::bench::commandName(pid).c_str(),
                pss / 1024.0);
  }
  std::printf("memory   %-24s %zu helpers       %7.1f MiB\n", label, smallCount, small / 1024.0);
  std::printf("memory   %-24s %-16s %7.1f MiB over %zu processes\n", label, "total", total / 1024.0,
              pids.size());
  return total;
}

struct Bare {
  std::vector<double> readyMs;
  long pssKib = 0;
};

// Starts the bare program `trials` times; the last one stays for its memory figure.
std::optional<Bare> measureBare(qv::test::E2eSystem& system, const Options& options) {
  Bare bare;
  for (int trial = 0; trial < options.trials; ++trial) {
    Clock::time_point spawned = Clock::now();
    std::string error;
    std::optional<qv::bench::BarePage> child = qv::bench::startBarePage(system, &error);
    if (!child) {
      std::fprintf(stderr, "startup_bench: %s\n", error.c_str());
      return std::nullopt;
    }
    bare.readyMs.push_back((child->readyAtMicros - micros(spawned)) / 1000);
    if (trial + 1 == options.trials) {
      std::this_thread::sleep_for(std::chrono::seconds(options.settle));
      bare.pssKib = printPss("bare, idle", qv::bench::processTree(child->process.pid()));
    }
    child->process.signal(SIGTERM);
    child->process.waitForExit(10s);
  }
  return bare;
}

bool setEnabled(qv::test::E2eSystem& system, bool enabled) {
  return system.host()
      .call("automation.setExtensionEnabled",
            Json{{"extensionIdentifier", qv::test::kExtensionId}, {"enabled", enabled}})
      .result.has_value();
}

bool noExtensionRuns(qv::test::E2eSystem& system) {
  return qv::test::waitUntil([&] { return extensionTree(system).empty(); }, 10s);
}

// Leaves the extension enabled with no process of it running, and no restart delay:
// disabling it forgets its restarts, enabling it starts one at once (for the window's
// toolbar item), and killing that one leaves a single exit on record.
bool stopExtension(qv::test::E2eSystem& system) {
  if (!setEnabled(system, false) || !noExtensionRuns(system) || !setEnabled(system, true)) {
    return false;
  }
  if (!qv::test::waitUntil([&] { return !extensionTree(system).empty(); }, 10s)) return false;
  std::this_thread::sleep_for(1s);  // well into its start, so that it has a page to lose
  for (pid_t pid : qv::bench::childrenNamed(system.host().pid(), kExtensionProcess)) {
    ::kill(pid, SIGKILL);
  }
  if (!noExtensionRuns(system)) return false;
  std::this_thread::sleep_for(300ms);    // for safari-host to see the exit
  return extensionTree(system).empty();  // and no event started it again meanwhile
}

struct ColdStart {
  double navigatedAt = 0;  // steady-clock microseconds
  double repliedAt = 0;
};

// Navigates the tab to the assisted page with no extension process running; when the
// greeting came back to the content script.
std::optional<ColdStart> coldStart(qv::test::E2eSystem& system, const std::string& tab, int trial) {
  if (!stopExtension(system)) {
    std::fprintf(stderr, "startup_bench: the extension did not stop\n");
    return std::nullopt;
  }
  std::string search = "?cold=" + std::to_string(trial);
  ColdStart start;
  start.navigatedAt = micros(Clock::now());
  system.evaluate(
      tab, "location.href = " + Json(system.service().origin() + "/" + search).dump() + "; true",
      "page");
  std::string greeted = "location.search === " + Json(search).dump() +
                        " && !!window.qvAssistant && window.qvAssistant.received.some((m) => "
                        "m.name === 'qv.hello')";
  auto deadline = Clock::now() + 60s;
  while (system.evaluate(tab, greeted, "extension") != Json(true)) {
    if (Clock::now() > deadline) {
      std::fprintf(stderr, "startup_bench: cold start %d: no greeting\n", trial);
      return std::nullopt;
    }
    std::this_thread::sleep_for(1ms);
  }
  start.repliedAt = micros(Clock::now());
  return start;
}

// When the first event named `name` began, at or after `from` (steady-clock
// microseconds): a mark, or a slice (a page's message is one when it came while a traced
// call was the page's latest).
std::optional<double> firstEvent(const std::vector<Json>& events, const std::string& name,
                                 double from) {
  std::optional<double> first;
  for (const Json& event : events) {
    std::string phase = event.value("ph", "");
    if ((phase != "i" && phase != "X") || event.value("name", "") != name) continue;
    double at = event.value("ts", 0.0);
    if (at >= from && (!first || at < *first)) first = at;
  }
  return first;
}

// The extension's own start-up marks, in the order they come.
constexpr const char* kMilestones[] = {"display open", "platform ready", "page load"};

struct ColdFigures {
  std::vector<double> toSpawn, toReady, toReply;  // milliseconds
  // From the process start to each of kMilestones.
  std::vector<double> toMilestone[std::size(kMilestones)];
};

std::optional<ColdFigures> measureCold(const Options& options, Bare& bare) {
  qv::test::TempDir folder;
  std::string tracePath = folder.path() + "/trace.json";
  std::vector<ColdStart> starts;
  {
    qv::test::E2eSystem system(tracePath);
    if (!system.start(false) || !system.enableExtension()) return std::nullopt;
    Json page = system.openAssistedPage("/");
    if (!page.is_object()) return std::nullopt;
    std::optional<Bare> measured = measureBare(system, options);
    if (!measured) return std::nullopt;
    bare = *measured;
    for (int trial = 0; trial < options.trials; ++trial) {
      std::optional<ColdStart> start = coldStart(system, page["tab"].get<std::string>(), trial);
      if (!start) return std::nullopt;
      starts.push_back(*start);
    }
    // Stopped as the earlier ones were, so that it has written its trace when it ends.
    if (!setEnabled(system, false) || !noExtensionRuns(system)) return std::nullopt;
  }  // the processes write their traces as they exit
  std::string error;
  std::optional<std::vector<Json>> events = qv::tracing::readTraceFiles(tracePath, &error);
  if (!events) {
    std::fprintf(stderr, "startup_bench: %s\n", error.c_str());
    return std::nullopt;
  }
  ColdFigures figures;
  for (std::size_t trial = 0; trial < starts.size(); ++trial) {
    const ColdStart& start = starts[trial];
    auto spawned =
        firstEvent(*events, std::string("start ") + qv::test::kExtensionId, start.navigatedAt);
    auto ready = spawned ? firstEvent(*events, "script message ready", *spawned) : std::nullopt;
    if (!ready || *ready > start.repliedAt) {
      std::fprintf(stderr,
                   "startup_bench: cold start %zu: the trace lacks a start or a ready (navigated "
                   "%.0f, started %.0f, ready %.0f, replied %.0f)\n",
                   trial, start.navigatedAt, spawned.value_or(0), ready.value_or(0),
                   start.repliedAt);
      return std::nullopt;
    }
    for (std::size_t i = 0; i < std::size(kMilestones); ++i) {
      if (auto at = firstEvent(*events, kMilestones[i], *spawned); at && *at <= *ready)
        figures.toMilestone[i].push_back((*at - *spawned) / 1000);
    }
    figures.toSpawn.push_back((*spawned - start.navigatedAt) / 1000);
    figures.toReady.push_back((*ready - *spawned) / 1000);
    figures.toReply.push_back((start.repliedAt - *spawned) / 1000);
  }
  return figures;
}

// Echoes from the content script, at most 100 in flight, until `count` came back.
std::string relaysScript(int count) {
  return R"JS((() => {
  const total = )JS" +
         std::to_string(count) +
         R"JS(, inFlight = 100;
  const state = window.__qvMany = { sent: 0, got: 0, done: false };
  const send = () => window.qvAssistant.echo("many-" + state.sent++);
  safari.self.addEventListener("message", (event) => {
    const text = event.message && event.message.text;
    if (event.name !== "qv.echo" || typeof text !== "string" || !text.startsWith("many-")) return;
    if (++state.got >= total) state.done = true;
    else if (state.sent < total) send();
  });
  while (state.sent < Math.min(total, inFlight)) send();
  return true;
})())JS";
}

bool measureMemory(const Options& options, long barePss) {
  qv::test::E2eSystem system;
  if (!system.start(false) || !system.enableExtension()) return false;
  Json page = system.openAssistedPage("/");
  if (!page.is_object()) return false;
  std::string tab = page["tab"];
  std::this_thread::sleep_for(std::chrono::seconds(options.settle));
  long idle = printPss("extension, idle", extensionTree(system));

  system.evaluate(tab, relaysScript(options.relays), "extension");
  Json progress;
  bool done = qv::test::waitUntil(
      [&] {
        progress = system.evaluate(tab, "({...window.__qvMany})", "extension");
        return progress.is_object() && progress.value("done", false);
      },
      std::chrono::seconds(60 + options.relays / 500));
  std::printf("memory   %d echoes: %d answered%s\n", options.relays,
              progress.is_object() ? progress.value("got", 0) : 0, done ? "" : " (timed out)");
  std::this_thread::sleep_for(2s);
  long after = printPss("extension, after echoes", extensionTree(system));

  double ratio = barePss > 0 ? static_cast<double>(idle) / barePss : 0;
  qv::bench::printGoal("memory idle",
                       qv::bench::format("%.1f MiB = %.2f x bare (%.1f MiB)", idle / 1024.0, ratio,
                                         barePss / 1024.0),
                       "<= 1.3 x bare", barePss > 0 && ratio <= 1.3);
  double growth = idle > 0 ? 100.0 * static_cast<double>(after - idle) / idle : 0;
  qv::bench::printGoal("memory after relays",
                       qv::bench::format("%.1f MiB, %+.1f%% of idle", after / 1024.0, growth),
                       "within 10% of idle", done && idle > 0 && std::abs(growth) <= 10);
  return done;
}

int run(const Options& options) {
  Bare bare;
  std::optional<ColdFigures> cold = measureCold(options, bare);
  if (!cold) return 1;
  double bareReady = percentile(bare.readyMs, 0.5);
  std::printf("bare     %zu starts: spawn to ready p50 %.1f ms p99 %.1f ms\n", bare.readyMs.size(),
              bareReady, percentile(bare.readyMs, 0.99));
  std::printf(
      "cold     %zu starts, p50 (p99) in ms: navigation to process start %.1f (%.1f); "
      "process start to ready %.1f (%.1f); to the first reply %.1f (%.1f)\n",
      cold->toReply.size(), percentile(cold->toSpawn, 0.5), percentile(cold->toSpawn, 0.99),
      percentile(cold->toReady, 0.5), percentile(cold->toReady, 0.99),
      percentile(cold->toReply, 0.5), percentile(cold->toReply, 0.99));
  std::string milestones;
  for (std::size_t i = 0; i < std::size(kMilestones); ++i) {
    if (cold->toMilestone[i].empty()) continue;
    milestones += qv::bench::format("%s%s %.1f", milestones.empty() ? "" : "; ", kMilestones[i],
                                    percentile(cold->toMilestone[i], 0.5));
  }
  std::printf("cold     process start to the extension's milestones, p50 in ms: %s\n",
              milestones.empty() ? "none traced" : milestones.c_str());
  double reply = percentile(cold->toReply, 0.5);
  qv::bench::printGoal("cold start first reply",
                       qv::bench::format("%.1f ms = %.2f x bare ready (%.1f ms)", reply,
                                         reply / bareReady, bareReady),
                       "<= 1.25 x bare ready", bareReady > 0 && reply <= 1.25 * bareReady);
  return measureMemory(options, bare.pssKib) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int index = 1; index < argc; ++index) {
    if (!qv::bench::intOption(argv[index], "--trials=", options.trials) &&
        !qv::bench::intOption(argv[index], "--relays=", options.relays) &&
        !qv::bench::intOption(argv[index], "--settle=", options.settle)) {
      std::fprintf(stderr, "usage: startup_bench [--trials=N] [--relays=N] [--settle=N]\n");
      return 2;
    }
  }
  if (options.trials < 1 || options.relays < 1 || options.settle < 0) {
    std::fprintf(stderr, "startup_bench: counts must be positive\n");
    return 2;
  }
  if (!gtk_init_check()) {
    std::fprintf(stderr, "startup_bench: cannot open a display\n");
    return 1;
  }
  return run(options);
}
