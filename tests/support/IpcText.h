#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "ipc/Connection.h"
#include "platform/Json.h"

// Helpers for assertions on what travels over the IPC protocol.
namespace qv::test {

// The error text of a reply; empty when it has none. For assertions and failure messages.
inline std::string errorText(const ipc::Reply& reply) {
  return reply.error ? reply.error->message : std::string();
}

// Equal as JSON values, whatever the order of object keys (no receiver depends on it).
inline bool sameJson(const Json& a, const Json& b) {
  return nlohmann::json::parse(a.dump()) == nlohmann::json::parse(b.dump());
}

}  // namespace qv::test
