// qv-trace: merges the trace files of safari-host --trace and its extension processes and
// prints how long each stage of a message's path took (p50, p99), with the waits between
// stages.
//   qv-trace [--merged=OUT] FILE...
// OUT, when given, receives all events as one trace for Perfetto or chrome://tracing.
// Exit status: 0 done, 1 a file that cannot be read or written, 2 bad arguments.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/qv-trace/TraceStages.h"

int main(int argc, char** argv) {
  std::string merged;
  std::vector<std::string> files;
  for (int index = 1; index < argc; ++index) {
    if (std::strncmp(argv[index], "--merged=", 9) == 0 && argv[index][9] != '\0') {
      merged = argv[index] + 9;
    } else if (argv[index][0] == '-') {
      files.clear();
      break;
    } else {
      files.emplace_back(argv[index]);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: qv-trace [--merged=OUT] FILE...\n");
    return 2;
  }
  std::vector<qv::Json> events;
  for (const std::string& file : files) {
    std::string error;
    auto read = qv::tracing::readTraceFile(file, &error);
    if (!read) {
      std::fprintf(stderr, "qv-trace: %s\n", error.c_str());
      return 1;
    }
    events.insert(events.end(), std::make_move_iterator(read->begin()),
                  std::make_move_iterator(read->end()));
  }
  if (!merged.empty()) {
    std::ofstream out(merged, std::ios::binary | std::ios::trunc);
    out << qv::Json(events).dump(-1, ' ', false, qv::Json::error_handler_t::replace) << '\n';
    if (!out) {
      std::fprintf(stderr, "qv-trace: cannot write %s\n", merged.c_str());
      return 1;
    }
  }
  qv::tracing::StageTable table = qv::tracing::stageTable(events);
  std::printf("%zu messages in %zu files\n", table.messages, files.size());
  std::fputs(qv::tracing::formatStageTable(table).c_str(), stdout);
  return 0;
}
