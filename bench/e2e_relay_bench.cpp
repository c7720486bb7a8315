// The typical request end to end: a content script's "passToBgPage" through safari-host,
// the Quorvane_Safari_Extension process and its background page in WebKit, and back to
// the same content script, with the real assistant scripts and the service stand-in.
//
//   e2e_relay_bench [--round-trips=N] [--soak] [--rate=N] [--seconds=N]
//
// Needs a display and a session bus:
//   dbus-run-session -- xvfb-run -a -s "-screen 0 1600x1200x24" build/bin/e2e_relay_bench
//
// Figures, all printed:
//   baseline   N automation.evaluate round trips into the same page (control socket →
//              safari-host → WebKit → reply), timed here; p50/p99.
//   relay      N sequential echoes, each sent by the content script after the previous
//              one came back, timed in the page (performance.now()); p50/p99, and the
//              mean from the total time, which does not depend on the page clock's
//              resolution.
//   soak       (--soak) echoes sent at --rate per second for --seconds; how many were
//              lost or came twice.
// Goals: relay p50 no more than 2x the baseline p50; none lost at 1,000/s for 60 s.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/e2e/E2eSystem.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using qv::Json;

struct Options {
  int roundTrips = 1000;
  bool soak = false;
  int rate = 1000;
  int seconds = 60;
};

bool parseInt(const char* arg, const char* prefix, int& out) {
  std::size_t length = std::strlen(prefix);
  if (std::strncmp(arg, prefix, length) != 0) return false;
  out = std::atoi(arg + length);
  return true;
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
  return values[index];
}

// Starts the content script's sequential echo loop; results land in window.__qvRelay.
std::string relayScript(int count) {
  return R"JS((() => {
  const count = )JS" +
         std::to_string(count) + R"JS(;
  const relay = window.__qvRelay = { times: [], done: false, total: 0 };
  let index = 0, sentAt = 0, startedAt = performance.now();
  const send = () => { sentAt = performance.now(); window.qvAssistant.echo("relay-" + index); };
  const listener = (event) => {
    if (event.name !== "qv.echo" || !event.message || event.message.text !== "relay-" + index) return;
    relay.times.push(performance.now() - sentAt);
    if (++index < count) return send();
    relay.total = performance.now() - startedAt;
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

int run(const Options& options) {
  qv::test::E2eSystem system;
  if (!system.start(false) || !system.enableExtension()) {
    std::fprintf(stderr, "e2e_relay_bench: the system did not start\n");
    return 1;
  }
  Json page = system.openAssistedPage("/");
  if (page.is_null()) return 1;
  std::string tab = page["tab"];

  std::vector<double> baseline;
  for (int index = 0; index < options.roundTrips; ++index) {
    auto start = Clock::now();
    qv::ipc::Reply reply = system.host().call(
        "automation.evaluate", Json{{"tab", tab},
                                    {"script", "1"},
                                    {"world", "extension"},
                                    {"extensionIdentifier", qv::test::kExtensionId}});
    if (!reply.result) {
      std::fprintf(stderr, "e2e_relay_bench: evaluate failed: %s\n",
                   reply.error.value_or("?").c_str());
      return 1;
    }
    baseline.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::printf("baseline (evaluate round trip, %d): p50 %.3f ms  p99 %.3f ms\n", options.roundTrips,
              percentile(baseline, 0.5), percentile(baseline, 0.99));

  system.evaluate(tab, relayScript(options.roundTrips), "extension");
  Json relay;
  bool finished = qv::test::waitUntil(
      [&] {
        relay =
            system.evaluate(tab, "window.__qvRelay.done ? window.__qvRelay : null", "extension");
        return relay.is_object();
      },
      std::chrono::milliseconds(30000 + options.roundTrips * 200));
  if (!finished) {
    Json progress = system.evaluate(tab, "window.__qvRelay.times.length", "extension");
    std::fprintf(stderr, "e2e_relay_bench: relay stalled after %s echoes\n",
                 progress.dump().c_str());
    return 1;
  }
  std::vector<double> times = relay["times"].get<std::vector<double>>();
  double mean = relay["total"].get<double>() / static_cast<double>(times.size());
  double relayP50 = percentile(times, 0.5);
  double baseP50 = percentile(baseline, 0.5);
  std::printf(
      "relay    (page → background page → page, %zu): p50 %.3f ms  p99 %.3f ms  mean %.3f ms\n",
      times.size(), relayP50, percentile(times, 0.99), mean);
  std::printf("relay p50 / baseline p50 = %.2f (goal <= 2.00); mean / baseline p50 = %.2f\n",
              relayP50 / baseP50, mean / baseP50);

  if (!options.soak) {
    std::printf("soak skipped (pass --soak for %d/s over %d s)\n", options.rate, options.seconds);
    return 0;
  }
  system.evaluate(tab, soakScript(options.rate, options.seconds), "extension");
  const std::string progressScript =
      "({sent: window.__qvSoak.sent, got: window.__qvSoak.got.size, repeated: "
      "window.__qvSoak.repeated, done: window.__qvSoak.done, elapsed: window.__qvSoak.elapsed})";
  Json soak;
  qv::test::waitUntil(
      [&] {
        soak = system.evaluate(tab, progressScript, "extension");
        return soak.is_object() && soak.value("done", false);
      },
      std::chrono::seconds(options.seconds * 3 + 30));
  // Echoes still in flight when sending ends get a generous moment to land.
  qv::test::waitUntil(
      [&] {
        soak = system.evaluate(tab, progressScript, "extension");
        return soak.is_object() && soak.value("got", 0) >= soak.value("sent", 0);
      },
      30s);
  if (!soak.is_object()) return 1;
  int sent = soak.value("sent", 0), got = soak.value("got", 0);
  std::printf("soak     %d sent in %.1f s (%.0f/s): %d answered, %d lost, %d repeated\n", sent,
              soak.value("elapsed", 0.0) / 1000, sent / (soak.value("elapsed", 1.0) / 1000), got,
              sent - got, soak.value("repeated", 0));
  return sent == got && soak.value("done", false) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int index = 1; index < argc; ++index) {
    const char* arg = argv[index];
    if (std::strcmp(arg, "--soak") == 0) {
      options.soak = true;
    } else if (!parseInt(arg, "--round-trips=", options.roundTrips) &&
               !parseInt(arg, "--rate=", options.rate) &&
               !parseInt(arg, "--seconds=", options.seconds)) {
      std::fprintf(stderr,
                   "usage: e2e_relay_bench [--round-trips=N] [--soak] [--rate=N] [--seconds=N]\n");
      return 2;
    }
  }
  if (options.roundTrips < 1 || options.rate < 1 || options.seconds < 1) {
    std::fprintf(stderr, "e2e_relay_bench: counts must be positive\n");
    return 2;
  }
  return run(options);
}
