#include "SafariExtension/SigninUrls.h"

#include "platform/Url.h"

namespace qv::SigninUrls {
namespace {

constexpr const char* signinPath = "/signin";

}  // namespace

std::optional<std::string> signinUrl(const Deployment& deployment) {
  auto components = UrlComponents::https(deployment.webOriginHost(), signinPath);
  return components ? components->string() : std::nullopt;
}

std::string successUrl(const Deployment& deployment) {
  return deployment.webOrigin + "/extension-success?utm_medium=store&utm_source=safari";
}

std::optional<std::string> makeSigninUrl(const Deployment& deployment,
                                         const std::string& challenge) {
  auto components = UrlComponents::https(deployment.webOriginHost(), signinPath);
  if (!components) return std::nullopt;
  components->queryItems = std::vector<QueryItem>{
      {"client_id", "extension-safari"},
      {"code_challenge", challenge},
      {"use_postmessage", "true"},
  };
  return components->string();
}

}  // namespace qv::SigninUrls
