// Defaults store figures: write and read latency (Google Benchmark), then the latency
// from a commit in another process to the subscriber callback here.
//
//   defaults_bench [benchmark flags] [--changes=N] [--interval-ms=M]
//
// The child process writes N changes M ms apart, each carrying its CLOCK_MONOTONIC send
// time (a system-wide clock, so comparable across processes); the callback subtracts it
// from its own time. Send time is taken just before `set`, so each figure also contains
// the writer's commit (fsync) time: an upper bound on commit -> callback.

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/Goal.h"
#include "platform/linux/store/SqliteUserDefaults.h"

namespace {

using qv::UserDefaults;
using Value = UserDefaults::Value;

constexpr const char* kSuite = "bench.defaults";
constexpr const char* kStampKey = "stamp";

std::int64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::string& configHome() {
  static std::string path;
  return path;
}

std::shared_ptr<UserDefaults> benchStore() {
  static std::shared_ptr<UserDefaults> store =
      qv::LinuxUserDefaultsFactory(configHome()).suite(kSuite);
  return store;
}

using qv::bench::percentile;

void BM_WriteInteger(benchmark::State& state) {
  auto store = benchStore();
  std::int64_t counter = 0;
  for (auto _ : state) {
    if (!store->set("bench.integer", Value(++counter))) state.SkipWithError("write failed");
  }
}
BENCHMARK(BM_WriteInteger)->Unit(benchmark::kMicrosecond);

// Alternates two values: SQLite skips writing (and fsyncing) a row rewritten unchanged.
void BM_WriteString(benchmark::State& state) {
  auto store = benchStore();
  const std::string texts[2] = {std::string(static_cast<std::size_t>(state.range(0)), 'x'),
                                std::string(static_cast<std::size_t>(state.range(0)), 'y')};
  std::size_t next = 0;
  for (auto _ : state) {
    if (!store->set("bench.string", Value(texts[next ^= 1]))) state.SkipWithError("write failed");
  }
}

// The no-op case: the same value again.
void BM_WriteUnchanged(benchmark::State& state) {
  auto store = benchStore();
  const Value value(std::string(64, 'u'));
  for (auto _ : state) {
    if (!store->set("bench.unchanged", value)) state.SkipWithError("write failed");
  }
}
BENCHMARK(BM_WriteUnchanged)->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_WriteString)->Arg(64)->Arg(4096)->Unit(benchmark::kMicrosecond);

void BM_ReadString(benchmark::State& state) {
  auto store = benchStore();
  store->set("bench.read", Value(std::string(64, 'r')));
  for (auto _ : state) benchmark::DoNotOptimize(store->string("bench.read"));
}
BENCHMARK(BM_ReadString)->Unit(benchmark::kMicrosecond);

void BM_ReadMissing(benchmark::State& state) {
  auto store = benchStore();
  for (auto _ : state) benchmark::DoNotOptimize(store->object("bench.missing"));
}
BENCHMARK(BM_ReadMissing)->Unit(benchmark::kMicrosecond);

// The writing side, run in a child process.
int runWriter(const std::string& home, int changes, int intervalMs) {
  auto store = qv::LinuxUserDefaultsFactory(home).suite(kSuite);
  if (!store) return 1;
  std::vector<double> writeMs;
  for (int i = 0; i < changes; ++i) {
    std::int64_t sent = monotonicNanoseconds();
    if (!store->set(kStampKey, Value(sent))) return 1;
    writeMs.push_back(static_cast<double>(monotonicNanoseconds() - sent) / 1e6);
    std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
  }
  std::printf("writer process: %d writes, write p50 %.3f ms, p99 %.3f ms\n", changes,
              percentile(writeMs, 0.5), percentile(writeMs, 0.99));
  return 0;
}

int measureNotifications(const char* self, int changes, int intervalMs) {
  auto store = benchStore();
  if (!store || !store->set(kStampKey, Value(std::int64_t{0}))) return 1;
  std::mutex mutex;
  std::vector<double> latencyMs;
  std::int64_t lastStamp = 0;
  auto subscription = store->subscribe(kStampKey, [&] {
    std::int64_t now = monotonicNanoseconds();
    std::optional<std::int64_t> stamp = store->integer(kStampKey);
    std::lock_guard lock(mutex);
    if (!stamp || *stamp == lastStamp || *stamp == 0) return;
    lastStamp = *stamp;
    latencyMs.push_back(static_cast<double>(now - *stamp) / 1e6);
  });

  std::string changesArg = std::to_string(changes), intervalArg = std::to_string(intervalMs);
  std::vector<char*> argv = {const_cast<char*>(self), const_cast<char*>("--writer"),
                             configHome().data(),     changesArg.data(),
                             intervalArg.data(),      nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, self, nullptr, nullptr, argv.data(), environ) != 0) return 1;
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    (void)std::fprintf(stderr, "writer process failed\n");
    return 1;
  }
  // Let the last change arrive (it is due within 100 ms).
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  subscription.reset();

  std::lock_guard lock(mutex);
  std::printf(
      "cross-process notification (send -> callback): %d changes sent, %zu seen, "
      "p50 %.3f ms, p90 %.3f ms, p99 %.3f ms, max %.3f ms\n",
      changes, latencyMs.size(), percentile(latencyMs, 0.5), percentile(latencyMs, 0.9),
      percentile(latencyMs, 0.99), percentile(latencyMs, 1.0));
  return 0;
}

int optionValue(int& argc, char** argv, const char* name, int fallback) {
  const std::size_t length = std::strlen(name);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') {
      int value = std::atoi(argv[i] + length + 1);
      std::copy(argv + i + 1, argv + argc + 1, argv + i);
      --argc;
      return value > 0 ? value : fallback;
    }
  }
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--writer") == 0) {
    return runWriter(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  }
  const int changes = optionValue(argc, argv, "--changes", 300);
  const int intervalMs = optionValue(argc, argv, "--interval-ms", 7);

  std::string pattern = "/tmp/qv-defaults-bench.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return 1;
  configHome() = pattern;

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  int rc = measureNotifications("/proc/self/exe", changes, intervalMs);

  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
  return rc;
}
