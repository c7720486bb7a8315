// Relay figures for the extension process: a content page's "passToBgPage" sent by a
// stand-in safari-host, through the real Quorvane_Safari_Extension executable to its
// background page, whose echo comes back as "page.dispatchMessageToScript".
//
//   relay_bench [--samples=N] [--relays=N] [--window=N] [--traced-relays=N]
//
// Needs a display and a session bus:
//   dbus-run-session -- xvfb-run -a -s "-screen 0 1600x1200x24" build-release/bin/relay_bench
//
// Figures, all printed:
//   baseline   in this process, evaluate a call in a hidden web view and receive the
//              page's postMessage (the WebKit round trip every relay contains); N
//              sequential round trips, p50/p99.
//   latency    N sequential relays, each sent after the previous echo came back.
//   throughput `--relays` relays with up to `--window` in flight; relays per second,
//              and every echo checked to arrive exactly once.
//   memory     the extension's VmRSS after the first 1,000 relays of the throughput
//              run and after all of them.
//   stages     a second extension process started with --trace, and this process
//              tracing too: `--traced-relays` sequential relays, and the trace's table of
//              where each one spent its time (qv-trace's table). The socket hops are the
//              waits between this process's send and the extension's read, and back.
// Goals (GOAL lines): latency p50 <= baseline p50 + 60 us; >= 5,000 relays/s over 100,000
// relays with none lost; VmRSS after 100,000 within 10% of after 1,000.

#include <glib.h>
#include <gtk/gtk.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bench/Goal.h"
#include "platform/linux/system/Trace.h"
#include "platform/linux/webkit/WebKitWebView.h"
#include "tests/support/ExtensionBundle.h"
#include "tests/support/ExtensionProcess.h"
#include "tests/support/MainLoop.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TempDir.h"
#include "tools/qv-trace/TraceStages.h"

namespace {

using qv::test::runUntil;

using Clock = std::chrono::steady_clock;
using qv::Json;

constexpr const char* echoBackgroundScript = R"(
  window.exposedApi = {
    appMessage(message) {
      window.webkit.messageHandlers.sendToContentPage.postMessage(
          {name: "echo", pageId: message.replyTo, data: {seq: message.seq}});
    },
  };
  window.webkit.messageHandlers.ready.postMessage({});
)";

struct Options {
  int samples = 2000;
  int relays = 100000;
  int window = 256;
  int tracedRelays = 300;
};

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    auto value = [&](const char* prefix) -> int {
      return std::atoi(argument.c_str() + std::strlen(prefix));
    };
    if (argument.rfind("--samples=", 0) == 0)
      options.samples = value("--samples=");
    else if (argument.rfind("--relays=", 0) == 0)
      options.relays = value("--relays=");
    else if (argument.rfind("--window=", 0) == 0)
      options.window = value("--window=");
    else if (argument.rfind("--traced-relays=", 0) == 0)
      options.tracedRelays = value("--traced-relays=");
    else {
      std::fprintf(stderr,
                   "usage: %s [--samples=N] [--relays=N] [--window=N] [--traced-relays=N]\n",
                   argv[0]);
      std::exit(2);
    }
  }
  options.relays = std::max(options.relays, 1000);
  options.samples = std::max(options.samples, 10);
  options.window = std::max(options.window, 1);
  options.tracedRelays = std::max(options.tracedRelays, 0);
  return options;
}

double microsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// The WebKit round trip alone: evaluate a call, receive the page's postMessage.
std::vector<double> measureBaseline(int samples) {
  qv::WebKitWebViewFactory factory;
  std::unique_ptr<qv::WebView> view = factory.makeHiddenWebView();
  int received = 0;
  view->addScriptMessageHandler("echo", [&](const Json&) { ++received; });
  view->loadHtmlString(
      "<!DOCTYPE html><html><body><script>window.exposedApi = {appMessage(m) { "
      "window.webkit.messageHandlers.echo.postMessage({seq: m.seq}); }};"
      "window.webkit.messageHandlers.echo.postMessage({ready: true});</script></body></html>",
      std::string("https://quorvane.test"));
  if (!runUntil([&] { return received == 1; }, std::chrono::seconds(30))) {
    std::fprintf(stderr, "baseline page never loaded\n");
    std::exit(1);
  }
  std::vector<double> micros;
  int warmUp = samples / 10;
  for (int i = 0; i < warmUp + samples; ++i) {
    int expected = received + 1;
    auto start = Clock::now();
    view->evaluateJavaScript("window.exposedApi.appMessage({\"seq\":" + std::to_string(i) + "})");
    if (!runUntil([&] { return received == expected; }, std::chrono::seconds(10))) {
      std::fprintf(stderr, "baseline round trip %d lost\n", i);
      std::exit(1);
    }
    if (i >= warmUp) micros.push_back(microsSince(start));
  }
  return micros;
}

// Echoes as the stand-in safari-host sees them, by sequence number.
class EchoCounter {
 public:
  explicit EchoCounter(int capacity) : seen_(static_cast<std::size_t>(capacity), 0) {}

  void onCall(const qv::test::ReceivedCall& call) {
    if (call.method != "page.dispatchMessageToScript") return;
    auto userInfo = call.args.find("userInfo");
    if (userInfo == call.args.end() || !userInfo->is_object()) return;
    auto seq = userInfo->find("seq");
    if (seq == userInfo->end() || !seq->is_number_integer()) return;
    std::lock_guard lock(mutex_);
    auto index = seq->get<std::int64_t>();
    if (index >= 0 && index < static_cast<std::int64_t>(seen_.size())) {
      if (seen_[static_cast<std::size_t>(index)]++ > 0) ++duplicates_;
    } else {
      ++strays_;
    }
    ++received_;
    changed_.notify_all();
  }

  bool waitForReceived(std::int64_t count, std::chrono::seconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return received_ >= count; });
  }
  std::int64_t received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  // Sequence numbers in [from, to) that never came back.
  std::int64_t missing(int from, int to) const {
    std::lock_guard lock(mutex_);
    std::int64_t count = 0;
    for (int i = from; i < to; ++i) count += seen_[static_cast<std::size_t>(i)] == 0;
    return count;
  }
  std::int64_t duplicates() const {
    std::lock_guard lock(mutex_);
    return duplicates_ + strays_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int> seen_;
  std::int64_t received_ = 0;
  std::int64_t duplicates_ = 0;
  std::int64_t strays_ = 0;
};

void sendRelay(const qv::test::ScriptedPeer& host, int seq) {
  host.notify("handler.messageReceived",
              Json{{"name", "passToBgPage"},
                   {"page", "page-1"},
                   {"userInfo",
                    qv::test::passToBgPageUserInfo(
                        "bench", "{\"replyTo\":\"bench\",\"seq\":" + std::to_string(seq) + "}")}});
}

// Sequential relays through a second extension process, both ends tracing: the stage
// table of where they spent their time. False when a relay or the trace was lost.
bool printStages(const std::string& executable, const std::string& folder, int count) {
  namespace trace = qv::trace;
  std::string tracePath = folder + "/relay-trace.json";
  if (!trace::start(tracePath, "relay_bench")) return false;
  std::string error;
  auto process = qv::test::ExtensionProcess::start(
      executable, &error,
      std::vector<std::string>{"--ipc-fd=3", "--trace=" + tracePath + ".extension.json"});
  if (!process) {
    std::fprintf(stderr, "cannot start the traced extension: %s\n", error.c_str());
    return false;
  }
  // The first relays, untraced (no key), wait for the start and warm the page up.
  int warmUp = std::max(count / 10, 1);
  EchoCounter echoes(warmUp + count);
  qv::test::ScriptedPeer host;
  host.setRecording(false);
  host.observe([&echoes](const qv::test::ReceivedCall& call) { echoes.onCall(call); });
  host.serve(std::move(process->hostEnd));
  for (int i = 0; i < warmUp + count; ++i) {
    trace::Key key = i < warmUp ? 0 : trace::newKey();
    {
      trace::KeyScope scope(key);
      trace::Clock::time_point begin = trace::Clock::now();
      sendRelay(host, i);
      trace::slice("send", begin, key, trace::Flow::Begin);
    }
    if (!echoes.waitForReceived(i + 1, std::chrono::seconds(i == 0 ? 60 : 10))) {
      std::fprintf(stderr, "traced relay %d lost\n", i);
      return false;
    }
    // This thread's wake-up after the peer's reader saw the echo.
    trace::slice("echo seen", trace::Clock::now(), key, trace::Flow::End);
  }
  host.close();
  process->child.waitForExit(std::chrono::seconds(30));  // the extension writes its trace
  trace::stop();

  std::optional<std::vector<Json>> events = qv::tracing::readTraceFiles(tracePath, &error);
  if (!events) {
    std::fprintf(stderr, "relay_bench: %s\n", error.c_str());
    return false;
  }
  qv::tracing::StageTable table = qv::tracing::stageTable(*events);
  std::printf("stages     %zu traced relays:\n%s", table.messages,
              qv::tracing::formatStageTable(table).c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options = parseOptions(argc, argv);

  qv::test::TempDir dir;
  qv::test::ScopedEnv configHome("XDG_CONFIG_HOME", dir.path() + "/config");
  qv::test::ScopedEnv dataHome("XDG_DATA_HOME", dir.path() + "/data");
  qv::test::ScopedEnv cacheHome("XDG_CACHE_HOME", dir.path() + "/cache");
  if (!gtk_init_check()) {
    std::fprintf(stderr, "no display: run under xvfb-run\n");
    return 1;
  }

  std::vector<double> baseline = measureBaseline(options.samples);

  std::string bundle = qv::test::writeExtensionBundle(dir.path(), {echoBackgroundScript},
                                                      std::string(QV_EXTENSION_EXECUTABLE));
  if (bundle.empty()) {
    std::fprintf(stderr, "cannot write the test bundle\n");
    return 1;
  }
  std::string executable = bundle + "/Contents/MacOS/Quorvane_Safari_Extension";
  std::string error;
  auto process = qv::test::ExtensionProcess::start(executable, &error);
  if (!process) {
    std::fprintf(stderr, "cannot start the extension: %s\n", error.c_str());
    return 1;
  }
  // Sequence numbers: [0, samples) latency, then the throughput run, then one spare.
  int latencyBase = 0;
  int throughputBase = options.samples + options.samples / 10 + 1;
  EchoCounter echoes(throughputBase + options.relays);
  qv::test::ScriptedPeer host;
  host.setRecording(false);
  host.observe([&echoes](const qv::test::ReceivedCall& call) { echoes.onCall(call); });
  host.serve(std::move(process->hostEnd));

  // The first relay also waits for the extension to start and its page to be ready.
  std::vector<double> latency;
  int warmUp = options.samples / 10 + 1;
  for (int i = 0; i < warmUp + options.samples; ++i) {
    auto start = Clock::now();
    sendRelay(host, latencyBase + i);
    if (!echoes.waitForReceived(i + 1, std::chrono::seconds(i == 0 ? 60 : 10))) {
      std::fprintf(stderr, "relay %d lost\n", i);
      return 1;
    }
    if (i >= warmUp) latency.push_back(microsSince(start));
  }

  std::optional<long> rssAfter1000;
  std::int64_t before = echoes.received();
  auto start = Clock::now();
  for (int i = 0; i < options.relays; ++i) {
    if (i - (echoes.received() - before) >= options.window) {
      echoes.waitForReceived(before + i - options.window + 1, std::chrono::seconds(10));
    }
    sendRelay(host, throughputBase + i);
    if (i == 1000 && !rssAfter1000) {
      echoes.waitForReceived(before + 1000, std::chrono::seconds(30));
      rssAfter1000 = process->child.residentKib();
    }
  }
  bool complete = echoes.waitForReceived(before + options.relays, std::chrono::seconds(60));
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::optional<long> rssAfterAll = process->child.residentKib();
  std::int64_t lost = echoes.missing(throughputBase, throughputBase + options.relays);

  double baselineP50 = qv::bench::percentile(baseline, 0.50);
  double relayP50 = qv::bench::percentile(latency, 0.50);
  std::printf(
      "baseline   in-process evaluate -> postMessage, %d round trips: p50 %.0f us, p99 %.0f us\n",
      options.samples, baselineP50, qv::bench::percentile(baseline, 0.99));
  std::printf("latency    relay through the extension, %d relays: p50 %.0f us, p99 %.0f us\n",
              options.samples, relayP50, qv::bench::percentile(latency, 0.99));
  qv::bench::printGoal("extension relay p50",
                       qv::bench::format("%+.0f us over the bare WebKit round trip (%.0f us)",
                                         relayP50 - baselineP50, baselineP50),
                       "<= +60 us", relayP50 - baselineP50 <= 60);
  double rate = static_cast<double>(options.relays) / seconds;
  std::printf("throughput %d relays (window %d) in %.2f s: %.0f relays/s\n", options.relays,
              options.window, seconds, rate);
  std::printf("           lost %lld, duplicated or stray %lld%s\n", static_cast<long long>(lost),
              static_cast<long long>(echoes.duplicates()), complete ? "" : " (timed out)");
  qv::bench::printGoal(
      "extension relay throughput",
      qv::bench::format("%.0f relays/s, %lld lost", rate, static_cast<long long>(lost)),
      ">= 5000/s, none lost", rate >= 5000 && lost == 0 && complete);
  if (rssAfter1000 && rssAfterAll) {
    double growth = 100.0 * static_cast<double>(*rssAfterAll - *rssAfter1000) /
                    static_cast<double>(*rssAfter1000);
    std::printf("memory     extension VmRSS after 1000 relays %ld KiB, after %d: %ld KiB\n",
                *rssAfter1000, options.relays, *rssAfterAll);
    qv::bench::printGoal("extension VmRSS growth", qv::bench::format("%+.1f%%", growth),
                         "within 10%", std::abs(growth) <= 10);
  } else {
    std::printf("memory     extension VmRSS unavailable\n");
  }

  host.close();
  std::optional<int> status = process->child.waitForExit(std::chrono::seconds(30));
  std::printf("exit       extension %s\n", status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0
                                               ? "exited cleanly"
                                               : "did NOT exit cleanly");
  bool traced =
      options.tracedRelays == 0 || printStages(executable, dir.path(), options.tracedRelays);
  return complete && lost == 0 && traced ? 0 : 1;
}
