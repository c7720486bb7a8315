#include "Common/AppInfo.h"

#include "Common/EnvType.h"
#include "Common/FatalError.h"
#include "platform/EnumNames.h"

namespace qv {

namespace {

constexpr EnumName<Component> kComponentNames[] = {{Component::companion, "companion"},
                                                   {Component::native, "native"}};
constexpr EnumName<EnvType> kEnvTypeNames[] = {{EnvType::dev, "dev"}, {EnvType::prod, "prod"}};

}  // namespace

std::string_view toString(Component component) {
  return enumName(kComponentNames, component);
}

std::optional<Component> componentFromString(std::string_view text) {
  return enumValue(kComponentNames, text);
}

std::string_view toString(EnvType type) {
  return enumName(kEnvTypeNames, type);
}

std::optional<EnvType> envTypeFromString(std::string_view text) {
  return enumValue(kEnvTypeNames, text);
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
