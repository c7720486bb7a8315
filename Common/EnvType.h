#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qv {

enum class EnvType { dev, prod };

std::string_view toString(EnvType type);
// Absent for any other text, including another letter case.
std::optional<EnvType> envTypeFromString(std::string_view text);

}  // namespace qv
