#include "Common/ClientInfo.h"

#include <variant>

#include "Common/FatalError.h"
#include "platform/JsonFields.h"

namespace qv {

Json ClientInfo::toJson() const {
  return Json{{"clientType", clientType},
              {"clientVersion", clientVersion},
              {"vornClientType", vornClientType}};
}

std::optional<ClientInfo> ClientInfo::fromJson(const Json& json) {
  auto clientType = json::string(json, "clientType");
  auto clientVersion = json::string(json, "clientVersion");
  auto vornClientType = json::string(json, "vornClientType");
  if (!clientType || !clientVersion || !vornClientType) return std::nullopt;
  return ClientInfo{*clientType, *clientVersion, *vornClientType};
}

ClientInfo ClientInfo::load(const Bundle& mainBundle) {
  std::optional<std::string> path = mainBundle.pathForResource("clientInfo", "json");
  if (!path) QV_FATAL("The main bundle has no clientInfo.json resource");
  auto contents = mainBundle.contentsOfFile(*path);
  // The two stops below keep the source location that crash reports are matched by.
  if (const auto* error = std::get_if<ReadError>(&contents)) {
    fatalError(error->localizedDescription, "Common/EnvCommon", 46);
  }
  std::optional<ClientInfo> info;
  if (std::optional<Json> json = json::parse(std::get<std::string>(contents))) {
    info = fromJson(*json);
  }
  if (!info)
    fatalError("clientInfo.json does not hold a client info record", "Common/EnvCommon", 47);
  return *info;
}

}  // namespace qv
