#pragma once

#include <cstddef>

#include "platform/Json.h"

namespace qv::host {

// Deepest nesting we accept from another process. Copying or dumping a JSON value
// recurses once per level, so a hostile 16 MiB frame of "[[[[…" would otherwise run
// the stack out.
inline constexpr std::size_t kMaxJsonDepth = 200;

// True when no array or object in `value` sits deeper than `maxDepth` levels (a scalar
// has depth 0). Iterative: safe on any input. Any thread.
bool jsonDepthWithin(const Json& value, std::size_t maxDepth = kMaxJsonDepth);

}  // namespace qv::host
