#include "Common/AppInfo.h"

#include "Common/EnvType.h"
#include "Common/FatalError.h"

namespace qv {

std::string_view toString(Component component) {
  return component == Component::companion ? "companion" : "native";
}

std::optional<Component> componentFromString(std::string_view text) {
  if (text == "companion") return Component::companion;
  if (text == "native") return Component::native;
  return std::nullopt;
}

std::string_view toString(EnvType type) {
  return type == EnvType::dev ? "dev" : "prod";
}

std::optional<EnvType> envTypeFromString(std::string_view text) {
  if (text == "dev") return EnvType::dev;
  if (text == "prod") return EnvType::prod;
  return std::nullopt;
}

AppInfo AppInfo::fromBundle(const Bundle& mainBundle, Component component) {
  std::optional<Json> info = mainBundle.infoDictionary();
  if (!info || !info->is_object()) QV_FATAL("The main bundle has no information dictionary");
  auto name = info->find("CFBundleName");
  if (name == info->end() || !name->is_string()) {
    QV_FATAL("The main bundle has no CFBundleName string");
  }
  std::optional<std::string> identifier = mainBundle.bundleIdentifier();
  if (!identifier) QV_FATAL("The main bundle has no bundle identifier");
  return AppInfo{name->get<std::string>(), *identifier + ".ext", component};
}

}  // namespace qv
