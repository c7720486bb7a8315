#include "Common/Felog.h"

#include "platform/EnumNames.h"
#include "platform/JsonFields.h"
#include "platform/Url.h"

namespace qv {
namespace {

constexpr EnumName<LogLevel> kLogLevelNames[] = {
    {LogLevel::info, "INFO"}, {LogLevel::warn, "WARN"}, {LogLevel::error, "ERROR"}};

}  // namespace

std::string_view toString(LogLevel level) {
  return enumName(kLogLevelNames, level);
}

std::optional<LogLevel> logLevelFromString(std::string_view text) {
  return enumValue(kLogLevelNames, text);
}

Json LogMessage::toJson() const {
  Json json{{"application", application},
            {"version", version},
            {"env", toString(env)},
            {"sessionId", sessionId}};
  if (userId) json["userId"] = *userId;
  if (containerId) json["containerId"] = *containerId;
  json["logger"] = logger;
  json["level"] = toString(level);
  if (message) json["message"] = *message;
  return json;
}

std::optional<LogMessage> LogMessage::fromJson(const Json& json) {
  auto application = json::string(json, "application");
  auto version = json::string(json, "version");
  auto env = json::string(json, "env");
  auto sessionId = json::string(json, "sessionId");
  auto userId = json::optionalString(json, "userId");
  auto containerId = json::optionalString(json, "containerId");
  auto logger = json::string(json, "logger");
  auto level = json::string(json, "level");
  auto message = json::optionalString(json, "message");
  if (!application || !version || !env || !sessionId || !userId || !containerId || !logger ||
      !level || !message) {
    return std::nullopt;
  }
  auto envType = envTypeFromString(*env);
  auto logLevel = logLevelFromString(*level);
  if (!envType || !logLevel) return std::nullopt;
  return LogMessage{*application, *version, *envType,  *sessionId, *userId,
                    *containerId, *logger,  *logLevel, *message};
}

FelogSender::FelogSender(FelogConfig config, std::shared_ptr<UrlSession> session,
                         std::shared_ptr<SystemLog> systemLog)
    : config_(std::move(config)), session_(std::move(session)), systemLog_(std::move(systemLog)) {}

void FelogSender::log(std::string_view loggerName, LogLevel level,
                      const std::optional<std::string>& message) const {
  std::optional<std::string> url;
  if (auto parts = UrlComponents::https(config_.domain, config_.logPath)) url = parts->string();
  if (!url) {
    systemLog_->error("Error: felog request failed to create url");
    return;
  }

  LogMessage record{"extensionSafari",
                    config_.clientInfo.clientVersion,
                    config_.envType,
                    config_.sessionId,
                    config_.userInfoProvider->userId(),
                    config_.userInfoProvider->containerId(),
                    std::string(toString(config_.appComponent)) + "." + std::string(loggerName),
                    level,
                    message};
  std::string error;
  std::optional<std::string> body = json::dump(record.toJson(), &error);
  if (!body) {
    systemLog_->error("Error: felog request serialization error: " + error);
    systemLog_->error("Error: felog request failed to serialize data");
    return;
  }

  UrlRequest request;
  request.url = *url;
  request.method = "POST";
  request.cachePolicy = UrlRequest::CachePolicy::reloadIgnoringLocalAndRemoteCacheData;
  request.timeout = std::chrono::seconds(60);
  request.httpShouldHandleCookies = false;
  request.headers = {{"Origin", config_.origin}, {"Content-Type", "application/json"}};
  request.body = toBytes(*body);

  session_->dataTask(std::move(request), [systemLog = systemLog_](UrlTaskResult result) {
    if (result.error) systemLog->error("Error: felog request failed: " + *result.error);
    if (!result.response) {
      systemLog->error("Error: felog response has invalid type");
      return;
    }
    long status = result.response->statusCode;
    if (status >= 400 && status < 500) {
      systemLog->error("Error: felog request bad request " + std::to_string(status));
    }
  });
}

}  // namespace qv
