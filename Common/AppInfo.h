#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Bundle.h"

namespace qv {

// Which deliverable is running.
enum class Component { companion, native };

std::string_view toString(Component component);
std::optional<Component> componentFromString(std::string_view text);

// The identity of the running deliverable, read from its main bundle.
struct AppInfo {
  std::string appName;
  // The main bundle identifier + ".ext": the companion addresses its extension by it.
  std::string extensionBundleIdentifier;
  Component component = Component::companion;

  // Stops the process when the bundle has no information dictionary, no string
  // CFBundleName or no bundle identifier: the installation is broken.
  static AppInfo fromBundle(const Bundle& mainBundle, Component component);
};

}  // namespace qv
