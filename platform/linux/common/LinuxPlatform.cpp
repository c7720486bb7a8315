#include "platform/linux/common/LinuxPlatform.h"

#include "platform/JsonFields.h"
#include "platform/linux/net/CurlUrlSession.h"
#include "platform/linux/store/SqliteSecretStore.h"
#include "platform/linux/store/SqliteUserDefaults.h"
#include "platform/linux/system/GlibMainQueue.h"
#include "platform/linux/system/LinuxBundle.h"
#include "platform/linux/system/OpenSslCrypto.h"
#include "platform/linux/system/SyslogSystemLog.h"
#include "platform/linux/system/SystemClock.h"

namespace qv {
namespace {

std::optional<std::string> deploymentCaFileName(const Bundle& bundle) {
  std::optional<Json> info = bundle.infoDictionary();
  const Json* deployment = info ? json::object(*info, "QVDeployment") : nullptr;
  std::optional<std::string> name =
      deployment != nullptr ? json::string(*deployment, "CACertificates") : std::nullopt;
  if (!name || name->empty()) return std::nullopt;
  return name;
}

std::optional<std::string> resourcePath(const Bundle& bundle, const std::string& fileName) {
  std::size_t dot = fileName.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return bundle.pathForResource(fileName, "");
  return bundle.pathForResource(fileName.substr(0, dot), fileName.substr(dot + 1));
}

}  // namespace

std::optional<std::string> deploymentCaCertificatesPath(const Bundle& bundle) {
  auto fileName = deploymentCaFileName(bundle);
  if (!fileName) return std::nullopt;
  return resourcePath(bundle, *fileName);
}

Platform makeLinuxPlatform(std::shared_ptr<Bundle> mainBundle) {
  if (!mainBundle) mainBundle = LinuxBundle::main();
  // Without a readable executable path there is no bundle: one with nothing in it.
  if (!mainBundle) mainBundle = std::make_shared<LinuxBundle>(std::string());

  Platform platform;
  platform.systemLog = std::make_shared<SyslogSystemLog>();

  std::optional<std::string> caPath;
  if (auto fileName = deploymentCaFileName(*mainBundle)) {
    caPath = resourcePath(*mainBundle, *fileName);
    if (!caPath) {
      platform.systemLog->error("CACertificates resource not found in bundle: " + *fileName);
    }
  }

  platform.mainBundle = std::move(mainBundle);
  platform.defaults = std::make_shared<LinuxUserDefaultsFactory>();
  platform.urlSession = std::make_shared<CurlUrlSession>(caPath);
  platform.secretStore = std::make_shared<SqliteSecretStore>();
  platform.mainQueue = std::make_shared<GlibMainQueue>();
  platform.clock = std::make_shared<SystemClock>();
  platform.crypto = std::make_shared<OpenSslCrypto>();
  return platform;
}

}  // namespace qv
