#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/Json.h"

// Reads the trace files that safari-host --trace and its extension processes write, and
// turns them into a table of the stages each message went through.
namespace qv::tracing {

// The events of one trace file, which may lack its closing bracket (a process that was
// killed). Absent, with `error` set, when the file cannot be read or is not a trace.
std::optional<std::vector<Json>> readTraceFile(const std::string& path, std::string* error);

// The events of the trace that `safari-host --trace=PATH` wrote: PATH itself and the
// files its extension processes wrote beside it (PATH.<identifier>.<n>.json), in one
// list; empty files (a process killed before it wrote) are passed over. Absent, with
// `error` set, when there is none or one cannot be read.
std::optional<std::vector<Json>> readTraceFiles(const std::string& path, std::string* error);

// One stage of the messages' path: a slice name in one process ("safari-host: page
// message"), or the wait between two consecutive stages ("wait: A → B").
struct StageFigures {
  std::string stage;
  std::size_t count = 0;
  double p50Us = 0;
  double p99Us = 0;
};

struct StageTable {
  // In path order (each stage's mean place among its message's slices); stages that
  // fewer than one message in 20 went through are left out.
  std::vector<StageFigures> stages;
  // From the start of a message's first slice to the end of its last.
  StageFigures whole;
  std::size_t messages = 0;
};

// The table over every message (flow key) that `events` hold; messages with fewer than
// `minimumSlices` slices (paths cut short) are left out.
StageTable stageTable(const std::vector<Json>& events, std::size_t minimumSlices = 2);

// The table as text, one stage per line, times in microseconds.
std::string formatStageTable(const StageTable& table);

}  // namespace qv::tracing
