#pragma once

#include <optional>
#include <string>

#include "platform/Bundle.h"
#include "platform/Json.h"

namespace qv {

// Where the service lives, written into the bundle's Info.plist (QVDeployment) at build
// time. Hosts are "host" or "host:port"; the web origin is "https://host[:port]".
struct Deployment {
  std::string webOrigin;
  std::string bareDomain;
  std::string authHost;
  std::string analyticsHost;
  std::string logHost;
  // File name in Contents/Resources of extra certificate authorities (development only).
  std::optional<std::string> caCertificates;

  // Absent when QVDeployment is missing, a value is not a string, or the origin is not
  // an https origin without a path.
  static std::optional<Deployment> fromInfoDictionary(const Json& info);
  // Stops the process when the bundle carries no valid deployment values.
  static Deployment fromBundle(const Bundle& bundle);

  // The web origin's host (and port): "www.example.com" for "https://www.example.com".
  std::string webOriginHost() const;
};

}  // namespace qv
