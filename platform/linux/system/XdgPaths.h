#pragma once

#include <optional>
#include <string>

namespace qv::xdg {

// The XDG base directories, read from the environment at each call.
std::string configHome();  // $XDG_CONFIG_HOME or ~/.config
std::string dataHome();    // $XDG_DATA_HOME or ~/.local/share
std::string runtimeDir();  // $XDG_RUNTIME_DIR or /tmp

// Creates `path` and any missing parents; directories this call creates get `mode`.
// True when `path` is a directory afterwards.
bool makeDirectories(const std::string& path, unsigned mode);

}  // namespace qv::xdg
