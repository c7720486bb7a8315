#include "Common/Deployment.h"

#include "Common/FatalError.h"
#include "platform/JsonFields.h"
#include "platform/Url.h"

namespace qv {

std::optional<Deployment> Deployment::fromInfoDictionary(const Json& info) {
  if (!info.is_object()) return std::nullopt;
  auto values = info.find("QVDeployment");
  if (values == info.end() || !values->is_object()) return std::nullopt;
  auto webOrigin = json::string(*values, "WebOrigin");
  auto bareDomain = json::string(*values, "BareDomain");
  auto authHost = json::string(*values, "AuthHost");
  auto analyticsHost = json::string(*values, "AnalyticsHost");
  auto logHost = json::string(*values, "LogHost");
  auto caCertificates = json::optionalString(*values, "CACertificates");
  if (!webOrigin || !bareDomain || !authHost || !analyticsHost || !logHost || !caCertificates) {
    return std::nullopt;
  }
  constexpr std::string_view prefix = "https://";
  if (!webOrigin->starts_with(prefix)) return std::nullopt;
  Deployment deployment{*webOrigin,     *bareDomain, *authHost,
                        *analyticsHost, *logHost,    *caCertificates};
  if (!UrlComponents::https(deployment.webOriginHost(), "/")) return std::nullopt;
  for (const std::string* host : {&deployment.bareDomain, &deployment.authHost,
                                  &deployment.analyticsHost, &deployment.logHost}) {
    if (!UrlComponents::https(*host, "/")) return std::nullopt;
  }
  return deployment;
}

Deployment Deployment::fromBundle(const Bundle& bundle) {
  std::optional<Json> info = bundle.infoDictionary();
  std::optional<Deployment> deployment = info ? fromInfoDictionary(*info) : std::nullopt;
  if (!deployment) QV_FATAL("The main bundle has no valid QVDeployment dictionary");
  return *deployment;
}

std::string Deployment::webOriginHost() const {
  return webOrigin.substr(std::string_view("https://").size());
}

}  // namespace qv
