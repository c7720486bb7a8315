#pragma once

#include <string>

#include "ipc/Connection.h"

namespace qv::test {

// The error text of a reply; empty when it has none. For assertions and failure messages.
inline std::string errorText(const ipc::Reply& reply) {
  return reply.error ? reply.error->message : std::string();
}

}  // namespace qv::test
