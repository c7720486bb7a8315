#pragma once

#include <nlohmann/json.hpp>

namespace qv {

// JSON values keep the order their members were written in, so records encode with their
// keys in the documented order. Receivers never depend on that order.
using Json = nlohmann::ordered_json;

}  // namespace qv
