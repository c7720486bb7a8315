#include "tools/qv-trace/TraceStages.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <sstream>
#include <string_view>
#include <utility>
#include <variant>

#include "platform/linux/system/Files.h"

namespace qv::tracing {
namespace {

// Larger files are refused rather than read into memory.
constexpr std::size_t kMaxTraceBytes = std::size_t(1) << 31;

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\r'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

// One event per line, as our writer puts them: what a killed process left is read up to
// its last whole line.
std::vector<Json> eventsLineByLine(const std::string& contents) {
  std::vector<Json> events;
  std::istringstream lines(contents);
  std::string line;
  while (std::getline(lines, line)) {
    std::string_view text = trimmed(line);
    if (!text.empty() && text.front() == '[') text = trimmed(text.substr(1));
    if (!text.empty() && text.back() == ']') text = trimmed(text.substr(0, text.size() - 1));
    if (!text.empty() && text.back() == ',') text.remove_suffix(1);
    if (text.empty()) continue;
    Json event = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (event.is_object()) events.push_back(std::move(event));
  }
  return events;
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

StageFigures figures(std::string stage, const std::vector<double>& values) {
  return StageFigures{std::move(stage), values.size(), percentile(values, 0.5),
                      percentile(values, 0.99)};
}

struct Slice {
  std::string stage;
  double start = 0;
  double end = 0;
};

std::string keyOf(const Json& event) {
  const Json* args = event.contains("args") ? &event["args"] : nullptr;
  if (args == nullptr || !args->is_object() || !args->contains("key")) return {};
  const Json& key = (*args)["key"];
  return key.is_string() ? key.get<std::string>() : key.dump();
}

double number(const Json& event, const char* field) {
  auto it = event.find(field);
  return it != event.end() && it->is_number() ? it->get<double>() : 0;
}

std::string text(const Json& event, const char* field) {
  auto it = event.find(field);
  return it != event.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

std::optional<std::vector<Json>> readTraceFile(const std::string& path, std::string* error) {
  std::variant<std::string, int> read = files::readAll(path, kMaxTraceBytes);
  if (const int* failure = std::get_if<int>(&read)) {
    if (error) {
      *error = *failure == EFBIG ? path + " is larger than 2 GiB"
                                 : "cannot open " + path + ": " + std::strerror(*failure);
    }
    return std::nullopt;
  }
  const std::string& contents = std::get<std::string>(read);
  Json whole = Json::parse(contents, nullptr, /*allow_exceptions=*/false);
  if (whole.is_object() && whole.contains("traceEvents")) whole = whole["traceEvents"];
  std::vector<Json> events;
  if (whole.is_array()) {
    for (Json& event : whole) {
      if (event.is_object()) events.push_back(std::move(event));
    }
  } else {
    events = eventsLineByLine(contents);
  }
  if (events.empty()) {
    if (error) *error = path + " holds no trace events";
    return std::nullopt;
  }
  return events;
}

std::optional<std::vector<Json>> readTraceFiles(const std::string& path, std::string* error) {
  std::filesystem::path first(path);
  std::string prefix = first.filename().string();
  std::vector<std::string> paths;
  std::error_code failure;
  for (const auto& entry : std::filesystem::directory_iterator(first.parent_path(), failure)) {
    std::string name = entry.path().filename().string();
    if (name != prefix && name.rfind(prefix + ".", 0) != 0) continue;
    // A process killed before its first write leaves an empty file: nothing to read.
    std::error_code sizeFailure;
    if (std::filesystem::file_size(entry.path(), sizeFailure) == 0 && !sizeFailure) continue;
    paths.push_back(entry.path());
  }
  if (failure) {
    if (error) *error = "cannot list " + first.parent_path().string() + ": " + failure.message();
    return std::nullopt;
  }
  std::sort(paths.begin(), paths.end());
  std::vector<Json> events;
  for (const std::string& each : paths) {
    auto read = readTraceFile(each, error);
    if (!read) return std::nullopt;
    events.insert(events.end(), std::make_move_iterator(read->begin()),
                  std::make_move_iterator(read->end()));
  }
  if (paths.empty() && error) *error = "no trace file at " + path;
  return paths.empty() ? std::nullopt : std::optional(std::move(events));
}

StageTable stageTable(const std::vector<Json>& events, std::size_t minimumSlices) {
  std::map<long long, std::string> processNames;
  for (const Json& event : events) {
    if (text(event, "ph") == "M" && text(event, "name") == "process_name" &&
        event.contains("args") && event["args"].is_object()) {
      processNames[static_cast<long long>(number(event, "pid"))] = text(event["args"], "name");
    }
  }
  auto stageName = [&](const Json& event) {
    auto pid = static_cast<long long>(number(event, "pid"));
    auto name = processNames.find(pid);
    std::string process = name != processNames.end() ? name->second : "pid " + std::to_string(pid);
    return process + ": " + text(event, "name");
  };

  std::map<std::string, std::vector<Slice>> byKey;
  std::map<std::pair<std::string, std::string>, double> openAsync;  // (key, stage) → start
  for (const Json& event : events) {
    std::string key = keyOf(event);
    if (key.empty()) continue;
    std::string phase = text(event, "ph");
    double at = number(event, "ts");
    if (phase == "X") {
      byKey[key].push_back(Slice{stageName(event), at, at + number(event, "dur")});
    } else if (phase == "b") {
      openAsync[{key, stageName(event)}] = at;
    } else if (phase == "e") {
      auto open = openAsync.find({key, stageName(event)});
      if (open == openAsync.end()) continue;
      byKey[key].push_back(Slice{open->first.second, open->second, at});
      openAsync.erase(open);
    }
  }

  std::map<std::string, std::vector<double>> durations;
  std::map<std::string, std::pair<double, std::size_t>> positions;  // sum of indexes, count
  std::vector<double> whole;
  StageTable table;
  for (auto& [key, slices] : byKey) {
    if (slices.size() < minimumSlices) continue;
    std::sort(slices.begin(), slices.end(),
              [](const Slice& a, const Slice& b) { return a.start < b.start; });
    ++table.messages;
    double last = slices.front().end;
    double index = 0;
    for (std::size_t i = 0; i < slices.size(); ++i) {
      const Slice& slice = slices[i];
      if (i > 0) {
        // The hand-over from the stage before: 0 when this one starts inside it.
        std::string wait = "  wait: " + slices[i - 1].stage + " → " + slice.stage;
        durations[wait].push_back(std::max(0.0, slice.start - slices[i - 1].end));
        positions[wait].first += index;
        ++positions[wait].second;
        index += 1;
      }
      durations[slice.stage].push_back(slice.end - slice.start);
      positions[slice.stage].first += index;
      ++positions[slice.stage].second;
      index += 1;
      last = std::max(last, slice.end);
    }
    whole.push_back(last - slices.front().start);
  }
  // Stages that few messages went through (another kind of message, a rare detour) would
  // only crowd the table.
  std::size_t fewest = (table.messages + 19) / 20;
  for (auto& [stage, values] : durations) {
    if (values.size() >= fewest) table.stages.push_back(figures(stage, values));
  }
  std::stable_sort(table.stages.begin(), table.stages.end(),
                   [&](const StageFigures& a, const StageFigures& b) {
                     auto place = [&](const std::string& stage) {
                       const auto& [sum, count] = positions[stage];
                       return sum / static_cast<double>(count);
                     };
                     return place(a.stage) < place(b.stage);
                   });
  table.whole = figures("whole path", whole);
  return table;
}

std::string formatStageTable(const StageTable& table) {
  std::size_t width = table.whole.stage.size();
  for (const StageFigures& stage : table.stages) width = std::max(width, stage.stage.size());
  std::string out;
  char line[512];
  std::snprintf(line, sizeof line, "%-*s %8s %10s %10s\n", static_cast<int>(width), "stage",
                "count", "p50 µs", "p99 µs");
  out += line;
  auto row = [&](const StageFigures& stage) {
    std::snprintf(line, sizeof line, "%-*s %8zu %10.1f %10.1f\n", static_cast<int>(width),
                  stage.stage.c_str(), stage.count, stage.p50Us, stage.p99Us);
    out += line;
  };
  for (const StageFigures& stage : table.stages) row(stage);
  row(table.whole);
  return out;
}

}  // namespace qv::tracing
