#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Common/AppInfo.h"
#include "Common/ClientInfo.h"
#include "Common/EnvType.h"
#include "Common/UserInfoProvider.h"
#include "platform/Json.h"
#include "platform/SystemLog.h"
#include "platform/UrlSession.h"

namespace qv {

enum class LogLevel { info, warn, error };

std::string_view toString(LogLevel level);
std::optional<LogLevel> logLevelFromString(std::string_view text);

// One record as the log endpoint receives it.
struct LogMessage {
  std::string application;
  std::string version;
  EnvType env = EnvType::prod;
  std::string sessionId;
  std::optional<std::string> userId;
  std::optional<std::string> containerId;
  std::string logger;
  LogLevel level = LogLevel::info;
  std::optional<std::string> message;

  // Absent members are left out.
  Json toJson() const;
  static std::optional<LogMessage> fromJson(const Json& json);

  bool operator==(const LogMessage&) const = default;
};

// What every record of one process shares.
struct FelogConfig {
  std::string domain;   // the log host, "host" or "host:port"
  std::string logPath;  // "/logv2"
  std::string origin;   // the service's web origin, sent as Origin
  EnvType envType = EnvType::prod;
  Component appComponent = Component::native;
  ClientInfo clientInfo;
  std::shared_ptr<PartialUserInfoProvider> userInfoProvider;
  std::string sessionId;
};

// Sends failure records to the service's log endpoint: one POST per call, fire and
// forget. Problems with sending go to the system log in fixed lines that start with
// "Error: felog". Immutable; log() may be called from any thread.
class FelogSender {
 public:
  FelogSender(FelogConfig config, std::shared_ptr<UrlSession> session,
              std::shared_ptr<SystemLog> systemLog);

  // `loggerName` is the logger's dotted name without the component prefix.
  void log(std::string_view loggerName, LogLevel level,
           const std::optional<std::string>& message) const;

  const FelogConfig& config() const { return config_; }

 private:
  FelogConfig config_;
  std::shared_ptr<UrlSession> session_;
  std::shared_ptr<SystemLog> systemLog_;
};

// The log client of one deliverable, typed by its logger-name enumeration (which must
// have a `toString(Logger)` found by argument-dependent lookup).
template <typename Logger>
class Felog {
 public:
  Felog(FelogConfig config, std::shared_ptr<UrlSession> session,
        std::shared_ptr<SystemLog> systemLog)
      : sender_(std::move(config), std::move(session), std::move(systemLog)) {}

  void log(Logger logger, LogLevel level, const std::optional<std::string>& message) const {
    sender_.log(toString(logger), level, message);
  }

  const FelogConfig& config() const { return sender_.config(); }

 private:
  FelogSender sender_;
};

}  // namespace qv
