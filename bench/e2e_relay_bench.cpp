// The typical request end to end: a content script's "passToBgPage" through safari-host,
// the Quorvane_Safari_Extension process and its background page in WebKit, and back to
// the same content script, with the real assistant scripts and the service stand-in.
//
//   e2e_relay_bench [--round-trips=N] [--traced-round-trips=N] [--soak] [--rate=N]
//                   [--seconds=N]
//
// Needs a display and a session bus:
//   dbus-run-session -- xvfb-run -a -s "-screen 0 1600x1200x24" build/bin/e2e_relay_bench
//
// Figures, all measured in this run:
//   baseline   N round trips from the same page's script through one WebKit script-message
//              handler in this process, which answers by evaluating a call in the page.
//   hop        one framed message over a socket to a waiting reader thread (half of an
//              ipc::Connection ping-pong).
//   floor      what the path cannot go below: its two WebKit script round trips (2 x
//              baseline) and its four socket hops (page → browser → extension and back).
//   relay      N sequential echoes, each sent by the content script after the previous
//              one came back. Timed in the page with performance.now(), as single round
//              trips (as fine as the page clock, which WebKit coarsens) and as the mean
//              of each run of 10, which is ten times finer.
//   stages     a second system started with safari-host --trace: the same echoes, and the
//              trace's table of where each one spent its time (qv-trace's table).
//   soak       (--soak) echoes sent at --rate per second for --seconds; how many were
//              lost or came twice.
// Goals (GOAL lines): relay p50 <= 1.15 x floor; at least 2,000 echoes/s with none lost.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtk/gtk.h>

#include <future>

#include "bench/Goal.h"
#include "ipc/Connection.h"
#include "platform/linux/webkit/WebKitWebView.h"
#include "tests/support/MainLoop.h"
#include "tests/support/SocketPair.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"
#include "tests/support/gtk/E2eSystem.h"
#include "tools/qv-trace/TraceStages.h"

namespace {

using qv::test::runUntil;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using qv::Json;

struct Options {
  int roundTrips = 1000;
  int tracedRoundTrips = 300;
  bool soak = false;
  int rate = 2000;
  int seconds = 60;
};

using qv::bench::intOption;
using qv::bench::percentile;

constexpr int batch = 10;

// Round-trip times from the marks a page script took: when it started, then as each
// round trip ended.
struct Timings {
  std::vector<double> single;
  std::vector<double> batchMeans;
};

Timings timingsFrom(const std::vector<double>& marks) {
  Timings timings;
  for (std::size_t index = 1; index < marks.size(); ++index) {
    timings.single.push_back(marks[index] - marks[index - 1]);
  }
  for (std::size_t index = batch; index < marks.size(); index += batch) {
    timings.batchMeans.push_back((marks[index] - marks[index - batch]) / batch);
  }
  return timings;
}

void printTimings(const char* label, const Timings& timings) {
  std::printf(
      "%s %zu round trips: p50 %.3f ms  p99 %.3f ms | %d-trip means: p50 %.3f ms  p99 %.3f ms\n",
      label, timings.single.size(), percentile(timings.single, 0.5),
      percentile(timings.single, 0.99), batch, percentile(timings.batchMeans, 0.5),
      percentile(timings.batchMeans, 0.99));
}

// The same page in a web view of this process: its script posts to one script-message
// handler, which answers by calling into the page; the next round trip starts then.
std::optional<Timings> measureBaseline(const std::string& html, const std::string& origin,
                                       int count) {
  qv::WebKitWebViewFactory factory;
  // Shown on screen like safari-host's tab, so both pages render alike.
  std::unique_ptr<qv::PopoverWindow> window = factory.makePopoverWindow({1180, 700});
  std::unique_ptr<qv::WebView> view = window ? window->makeContentWebView() : nullptr;
  if (!view) return std::nullopt;
  window->show();
  bool ready = false;
  std::optional<std::vector<double>> marks;
  view->addScriptMessageHandler("qvReady", [&](const Json&) { ready = true; });
  view->addScriptMessageHandler("qvEcho", [&](const Json& body) {
    view->evaluateJavaScript("window.__qvBaseAnswer(" + body.dump() + ")");
  });
  view->addScriptMessageHandler("qvDone", [&](const Json& body) {
    if (body.is_array()) marks = body.get<std::vector<double>>();
  });
  view->addUserScript("window.webkit.messageHandlers.qvReady.postMessage(true);");
  view->loadHtmlString(html, origin + "/");
  if (!runUntil([&] { return ready; }, 30s)) return std::nullopt;
  view->evaluateJavaScript(R"JS((() => {
  const count = )JS" + std::to_string(count) +
                           R"JS(, marks = [];
  const handlers = window.webkit.messageHandlers;
  let index = 0;
  window.__qvBaseAnswer = (n) => {
    if (n !== index) return;
    marks.push(performance.now());
    if (++index < count) handlers.qvEcho.postMessage(index);
    else handlers.qvDone.postMessage(marks);
  };
  marks.push(performance.now());
  handlers.qvEcho.postMessage(0);
})())JS");
  if (!runUntil([&] { return marks.has_value(); }, 60s + std::chrono::seconds(count / 100))) {
    return std::nullopt;
  }
  return timingsFrom(*marks);
}

// One socket hop: half the round trip of a notification between two connections, each
// answered on the other's reader thread, as the relay's hops are. Microseconds, p50.
double measureSocketHop(int count) {
  auto pair = qv::test::socketPair();
  if (!pair) return 0;
  std::shared_ptr<qv::ipc::Connection> ping;
  std::shared_ptr<qv::ipc::Connection> pong;
  std::vector<double> roundTrips;
  std::promise<void> done;
  Clock::time_point sent;
  // Both are set before the first ping goes out; the reader threads only read them.
  pong = qv::ipc::Connection::start(pair->second.release(),
                                    {[&](const std::string&, const Json& args, qv::ipc::Responder) {
                                       pong->notify("pong", args);
                                     },
                                     nullptr, nullptr, nullptr});
  ping = qv::ipc::Connection::start(
      pair->first.release(),
      {[&](const std::string&, const Json&, qv::ipc::Responder) {
         roundTrips.push_back(
             std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
         if (static_cast<int>(roundTrips.size()) == count) {
           return done.set_value();
         }
         sent = Clock::now();
         ping->notify("ping", Json{{"n", roundTrips.size()}});
       },
       nullptr, nullptr, nullptr});
  sent = Clock::now();
  ping->notify("ping", Json{{"n", 0}});
  bool finished = done.get_future().wait_for(30s) == std::future_status::ready;
  ping->close();
  pong->close();
  return finished ? percentile(roundTrips, 0.5) / 2 : 0;
}

// Starts the content script's sequential echo loop; results land in window.__qvRelay.
std::string relayScript(int count) {
  return R"JS((() => {
  const count = )JS" +
         std::to_string(count) + R"JS(;
  const relay = window.__qvRelay = { marks: [performance.now()], done: false };
  let index = 0;
  const send = () => window.qvAssistant.echo("relay-" + index);
  const listener = (event) => {
    if (event.name !== "qv.echo" || !event.message || event.message.text !== "relay-" + index) return;
    relay.marks.push(performance.now());
    if (++index < count) return send();
    relay.done = true;
    safari.self.removeEventListener("message", listener);
  };
  safari.self.addEventListener("message", listener);
  send();
  return true;
})())JS";
}

// Sends echoes at a fixed rate from a 10 ms timer; counts distinct and repeated answers.
std::string soakScript(int rate, int seconds) {
  return R"JS((() => {
  const rate = )JS" +
         std::to_string(rate) + ", total = " + std::to_string(rate * seconds) + R"JS(;
  const soak = window.__qvSoak = { sent: 0, got: new Set(), repeated: 0, done: false, elapsed: 0 };
  safari.self.addEventListener("message", (event) => {
    const text = event.message && event.message.text;
    if (event.name !== "qv.echo" || typeof text !== "string" || !text.startsWith("soak-")) return;
    if (soak.got.has(text)) soak.repeated++;
    soak.got.add(text);
  });
  const start = performance.now();
  const timer = setInterval(() => {
    const due = Math.min(total, Math.floor((performance.now() - start) * rate / 1000));
    while (soak.sent < due) window.qvAssistant.echo("soak-" + soak.sent++);
    if (soak.sent < total) return;
    clearInterval(timer);
    soak.elapsed = performance.now() - start;
    soak.done = true;
  }, 10);
  return true;
})())JS";
}

// Runs `count` sequential echoes from the content script of `tab`.
std::optional<Timings> measureRelay(qv::test::E2eSystem& system, const std::string& tab,
                                    int count) {
  system.evaluate(tab, relayScript(count), "extension");
  Json relay;
  bool finished = qv::test::waitUntil(
      [&] {
        relay =
            system.evaluate(tab, "window.__qvRelay.done ? window.__qvRelay : null", "extension");
        return relay.is_object();
      },
      std::chrono::milliseconds(30000 + count * 200));
  if (!finished) {
    Json progress = system.evaluate(tab, "window.__qvRelay.marks.length - 1", "extension");
    std::fprintf(stderr, "e2e_relay_bench: relay stalled after %s echoes\n",
                 progress.dump().c_str());
    return std::nullopt;
  }
  return timingsFrom(relay["marks"].get<std::vector<double>>());
}

// Echoes at `rate` per second for `seconds`: true when none was lost or repeated.
bool soak(qv::test::E2eSystem& system, const std::string& tab, int rate, int seconds) {
  system.evaluate(tab, soakScript(rate, seconds), "extension");
  const std::string progressScript =
      "({sent: window.__qvSoak.sent, got: window.__qvSoak.got.size, repeated: "
      "window.__qvSoak.repeated, done: window.__qvSoak.done, elapsed: window.__qvSoak.elapsed})";
  Json progress;
  qv::test::waitUntil(
      [&] {
        progress = system.evaluate(tab, progressScript, "extension");
        return progress.is_object() && progress.value("done", false);
      },
      std::chrono::seconds(seconds * 3 + 30));
  // Echoes still in flight when sending ends get a generous moment to land.
  qv::test::waitUntil(
      [&] {
        progress = system.evaluate(tab, progressScript, "extension");
        return progress.is_object() && progress.value("got", 0) >= progress.value("sent", 0);
      },
      30s);
  if (!progress.is_object()) return false;
  int sent = progress.value("sent", 0), got = progress.value("got", 0);
  int repeated = progress.value("repeated", 0);
  double elapsed = progress.value("elapsed", 1.0) / 1000;
  double perSecond = sent / elapsed;
  std::printf("soak     %d sent in %.1f s (%.0f/s): %d answered, %d lost, %d repeated\n", sent,
              elapsed, perSecond, got, sent - got, repeated);
  bool met = progress.value("done", false) && sent == got && repeated == 0 && perSecond >= 2000;
  qv::bench::printGoal("e2e throughput",
                       qv::bench::format("%.0f/s, %d lost", perSecond, sent - got),
                       ">= 2000/s, none lost", met);
  return met;
}

// Starts the system and opens the assisted page: its tab, or empty.
std::string startAssisted(qv::test::E2eSystem& system) {
  if (!system.start(false) || !system.enableExtension()) {
    std::fprintf(stderr, "e2e_relay_bench: the system did not start\n");
    return {};
  }
  Json page = system.openAssistedPage("/");
  return page.is_object() ? page["tab"].get<std::string>() : std::string();
}

// The same echoes in a system that traces: where they spent their time.
bool printStages(int count) {
  qv::test::TempDir folder;
  std::string tracePath = folder.path() + "/trace.json";
  {
    qv::test::E2eSystem system(tracePath);
    std::string tab = startAssisted(system);
    if (tab.empty() || !measureRelay(system, tab, count)) return false;
  }  // the processes write their traces as they exit
  std::string error;
  std::optional<std::vector<Json>> events = qv::tracing::readTraceFiles(tracePath, &error);
  if (!events) {
    std::fprintf(stderr, "e2e_relay_bench: %s\n", error.c_str());
    return false;
  }
  std::set<long long> processes;
  for (const Json& event : *events) processes.insert(event.value("pid", 0LL));
  qv::tracing::StageTable table = qv::tracing::stageTable(*events);
  std::printf(
      "stages of %zu traced messages (%zu processes; %d echoes, the rest is the page's "
      "own traffic):\n%s",
      table.messages, processes.size(), count, qv::tracing::formatStageTable(table).c_str());
  return true;
}

int run(const Options& options) {
  double hopUs = measureSocketHop(10000);
  std::optional<Timings> relayed;
  std::optional<Timings> baseline;
  {
    qv::test::E2eSystem system;
    std::string tab = startAssisted(system);
    if (tab.empty()) return 1;
    auto home = system.service().client()->Get("/");
    if (!home || home->status != 200) {
      std::fprintf(stderr, "e2e_relay_bench: the stand-in's page did not load\n");
      return 1;
    }
    baseline = measureBaseline(home->body, system.service().origin(), options.roundTrips);
    if (!baseline) {
      std::fprintf(stderr, "e2e_relay_bench: the baseline did not finish\n");
      return 1;
    }
    printTimings("baseline (page → script-message handler → page)", *baseline);
    relayed = measureRelay(system, tab, options.roundTrips);
    if (!relayed) return 1;
    printTimings("relay    (page → background page → page)         ", *relayed);
    if (options.soak) {
      soak(system, tab, options.rate, options.seconds);
    } else {
      std::printf("soak skipped (pass --soak for %d/s over %d s)\n", options.rate, options.seconds);
    }
  }
  // WebKit coarsens the page clock to whole milliseconds, so a single round trip often
  // reads as 0 ms: the 10-trip means carry the comparison.
  double baseMs = percentile(baseline->batchMeans, 0.5);
  double relayMs = percentile(relayed->batchMeans, 0.5);
  double floorMs = 2 * baseMs + 4 * hopUs / 1000;
  std::printf("socket hop p50 %.1f µs; floor = 2 x %.3f ms + 4 x %.3f ms = %.3f ms\n", hopUs,
              baseMs, hopUs / 1000, floorMs);
  qv::bench::printGoal("e2e relay p50",
                       qv::bench::format("%.3f ms = %.2f x the floor of %.3f ms", relayMs,
                                         relayMs / floorMs, floorMs),
                       "<= 1.15 x floor", relayMs <= 1.15 * floorMs);
  if (options.tracedRoundTrips > 0 && !printStages(options.tracedRoundTrips)) return 1;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int index = 1; index < argc; ++index) {
    const char* arg = argv[index];
    if (std::strcmp(arg, "--soak") == 0) {
      options.soak = true;
    } else if (!intOption(arg, "--round-trips=", options.roundTrips) &&
               !intOption(arg, "--traced-round-trips=", options.tracedRoundTrips) &&
               !intOption(arg, "--rate=", options.rate) &&
               !intOption(arg, "--seconds=", options.seconds)) {
      std::fprintf(stderr,
                   "usage: e2e_relay_bench [--round-trips=N] [--traced-round-trips=N] [--soak] "
                   "[--rate=N] [--seconds=N]\n");
      return 2;
    }
  }
  if (options.roundTrips < 1 || options.tracedRoundTrips < 0 || options.rate < 1 ||
      options.seconds < 1) {
    std::fprintf(stderr, "e2e_relay_bench: counts must be positive\n");
    return 2;
  }
  if (!gtk_init_check()) {
    std::fprintf(stderr, "e2e_relay_bench: cannot open a display\n");
    return 1;
  }
  return run(options);
}
