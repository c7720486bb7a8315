#include "safari-host/JsonDepth.h"

#include <utility>
#include <vector>

namespace qv::host {

bool jsonDepthWithin(const Json& value, std::size_t maxDepth) {
  std::vector<std::pair<const Json*, std::size_t>> pending{{&value, 0}};
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    if (!node->is_structured()) continue;
    if (depth + 1 > maxDepth) return false;
    for (const Json& child : *node) pending.emplace_back(&child, depth + 1);
  }
  return true;
}

}  // namespace qv::host
