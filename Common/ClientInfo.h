#pragma once

#include <optional>
#include <string>

#include "platform/Bundle.h"
#include "platform/Json.h"

namespace qv {

// How this client identifies itself to the service; read from the bundle's
// "clientInfo.json". All three keys are required; extra keys are ignored.
struct ClientInfo {
  std::string clientType;
  std::string clientVersion;
  std::string vornClientType;

  Json toJson() const;
  static std::optional<ClientInfo> fromJson(const Json& json);

  // Stops the process when the resource is missing, unreadable or does not decode.
  static ClientInfo load(const Bundle& mainBundle);

  bool operator==(const ClientInfo&) const = default;
};

}  // namespace qv
