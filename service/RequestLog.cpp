#include "service/RequestLog.h"

#include <nlohmann/json.hpp>

namespace qv::service {

std::optional<RequestLog> RequestLog::open(const std::string& path) {
  auto state = std::make_unique<State>();
  state->file.reset(std::fopen(path.c_str(), "a"));
  if (!state->file) return std::nullopt;
  return RequestLog(std::move(state));
}

void RequestLog::append(const LoggedRequest& request) {
  nlohmann::json record = {{"method", request.method},
                           {"path", request.path},
                           {"query", request.query},
                           {"headers", request.headers},
                           {"body", request.body}};
  // Bodies are not always UTF-8; a replacement character beats losing the line.
  std::string line = record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  std::lock_guard lock(state_->mutex);
  std::fwrite(line.data(), 1, line.size(), state_->file.get());
  std::fflush(state_->file.get());
}

}  // namespace qv::service
