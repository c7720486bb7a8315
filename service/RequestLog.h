#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/CHandle.h"

namespace qv::service {

// One request as the record file keeps it.
struct LoggedRequest {
  std::string method;
  std::string path;
  std::string query;                           // raw text after '?', empty when none
  std::map<std::string, std::string> headers;  // lower-case names
  std::string body;
};

// Appends every request to a file, one JSON object per line, flushed per line so that
// readers see a request as soon as it has been answered. Thread-safe.
class RequestLog {
 public:
  // Opens `path` for appending (created when missing); absent when it cannot be opened.
  static std::optional<RequestLog> open(const std::string& path);

  void append(const LoggedRequest& request);

 private:
  struct State {
    std::mutex mutex;
    CHandle<std::FILE, std::fclose> file;
  };

  explicit RequestLog(std::unique_ptr<State> state) : state_(std::move(state)) {}

  std::unique_ptr<State> state_;
};

}  // namespace qv::service
