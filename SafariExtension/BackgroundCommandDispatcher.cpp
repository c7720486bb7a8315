#include "SafariExtension/BackgroundCommandDispatcher.h"

#include <variant>

#include "SafariExtension/BoolValue.h"
#include "SafariExtension/ExtensionLog.h"
#include "platform/JsonFields.h"
#include "platform/Url.h"

namespace qv {
namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (byte < 0x80) {
      ++i;
      continue;
    } else if (byte >= 0xC2 && byte <= 0xDF) {
      length = 1;
    } else if (byte >= 0xE0 && byte <= 0xEF) {
      length = 2;
      if (byte == 0xE0) low = 0xA0;
      if (byte == 0xED) high = 0x9F;
    } else if (byte >= 0xF0 && byte <= 0xF4) {
      length = 3;
      if (byte == 0xF0) low = 0x90;
      if (byte == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (i + length >= text.size()) return false;  // truncated sequence
    for (std::size_t k = 1; k <= length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return false;
    }
    i += length + 1;
  }
  return true;
}

// A URL string the command may use; absent when it does not parse as an absolute URL.
std::optional<std::string> urlArgument(const std::optional<Json>& data, const char* key) {
  if (!data) return std::nullopt;
  auto text = json::string(*data, key);
  if (!text || !UrlComponents::parse(*text)) return std::nullopt;
  return text;
}

std::optional<std::string> stringArgument(const std::optional<Json>& data, const char* key) {
  return data ? json::string(*data, key) : std::nullopt;
}

}  // namespace

BackgroundCommandDispatcher::BackgroundCommandDispatcher(
    const Env& env, std::shared_ptr<SafariApplication> application,
    std::shared_ptr<PageRegistry> registry, const BackgroundPageHooks& hooks,
    DeliverBlacklistConfig deliverBlacklistConfig)
    : env_(env),
      registry_(std::move(registry)),
      tabs_(std::move(application)),
      hooks_(hooks),
      deliverBlacklistConfig_(std::move(deliverBlacklistConfig)) {}

void BackgroundCommandDispatcher::logInvalidArguments(std::string text) const {
  logError(env_, NativeLogger::bgWebViewHandleMessageInvalidArguments, std::move(text));
}

void BackgroundCommandDispatcher::dispatch(BackgroundHandler handler, const Json& body) {
  if (handler == BackgroundHandler::ready || handler == BackgroundHandler::reloadBgPage) return;
  std::optional<BackgroundCommand> command = BackgroundCommand::parse(body);
  if (!command) {
    logInvalidArguments(std::string(toString(handler)));
    return;
  }
  switch (handler) {
    case BackgroundHandler::sendToContentPage:
      return sendToContentPage(*command);
    case BackgroundHandler::sendToActiveTab:
      return sendToActiveTab(*command);
    case BackgroundHandler::sendToAllContentPages:
      return sendToAllContentPages(*command);
    case BackgroundHandler::fetchBlacklistConfig:
      return fetchBlacklistConfig(*command);
    case BackgroundHandler::openNewTab:
      return openNewTab(*command);
    case BackgroundHandler::updateCurrentTab:
      return updateCurrentTab(*command);
    case BackgroundHandler::sendToSettingsPopup:
      return sendToSettingsPopup(*command);
    case BackgroundHandler::setBadge:
      return setBadge(*command);
    case BackgroundHandler::setBadgeText:
      return setBadgeText(*command);
    case BackgroundHandler::setUserInfo:
      return setUserInfo(*command);
    case BackgroundHandler::oauthComplete:
      return oauthComplete(*command);
    case BackgroundHandler::ready:
    case BackgroundHandler::reloadBgPage:
      return;
  }
}

void BackgroundCommandDispatcher::sendToContentPage(const BackgroundCommand& command) {
  if (!command.pageId) {
    logError(env_, NativeLogger::bgWebViewHandleMessageNoPageId, "sendToContentPage");
    return;
  }
  std::shared_ptr<SafariPage> page = registry_->lookup(*command.pageId);
  if (!page) {
    logError(env_, NativeLogger::pageSendToContentPage, "Unknown pageId");
    return;
  }
  page->dispatchMessageToScript(command.name, command.data);
}

void BackgroundCommandDispatcher::sendToActiveTab(const BackgroundCommand& command) {
  tabs_.withEachActiveTabPage([name = command.name, data = command.data](auto page) {
    page->dispatchMessageToScript(name, data);
  });
}

void BackgroundCommandDispatcher::sendToAllContentPages(const BackgroundCommand& command) {
  for (const auto& page : registry_->allPages()) {
    page->dispatchMessageToScript(command.name, command.data);
  }
}

void BackgroundCommandDispatcher::fetchBlacklistConfig(const BackgroundCommand& command) {
  // A string that is not a URL is treated like a missing one: there is nothing to fetch.
  std::optional<std::string> url = urlArgument(command.data, "json");
  if (!url) {
    logInvalidArguments("fetchBlacklistConfig json");
    return;
  }
  UrlRequest request;
  request.url = *url;
  env_.platform.urlSession->dataTask(std::move(request),
                                     [deliver = deliverBlacklistConfig_](UrlTaskResult result) {
                                       if (result.error || !result.data) return;
                                       std::string body = toString(*result.data);
                                       if (!isValidUtf8(body)) {
                                         deliver("{}");
                                         return;
                                       }
                                       // Only one complete JSON text may become the call's
                                       // argument; anything else could run as script in the
                                       // background page, so it is dropped like a failure.
                                       if (!bridge::isOneJsonText(body)) return;
                                       deliver(std::move(body));
                                     });
}

void BackgroundCommandDispatcher::openNewTab(const BackgroundCommand& command) {
  std::optional<std::string> url = urlArgument(command.data, "url");
  std::optional<std::string> activate = stringArgument(command.data, "activateOnOpen");
  if (!url || !activate) {
    logInvalidArguments("openNewTab");
    return;
  }
  FutureFunc::run(tabs_.openTab(*url, /*forceNewWindow=*/false, boolValue(*activate)));
}

void BackgroundCommandDispatcher::updateCurrentTab(const BackgroundCommand& command) {
  std::optional<std::string> url = urlArgument(command.data, "url");
  if (!url) {
    logInvalidArguments("updateCurrentTab");
    return;
  }
  tabs_.withActiveTab([url = *url](auto tab) { tab->navigate(url); });
}

void BackgroundCommandDispatcher::sendToSettingsPopup(const BackgroundCommand& command) {
  // A copy, so that the popup may replace the hooks while it runs.
  if (auto popup = hooks_.settingsPopup) popup->sendToSettingsPopup(command.name, command.data);
}

void BackgroundCommandDispatcher::setBadge(const BackgroundCommand& command) {
  std::optional<std::string> badgeName = stringArgument(command.data, "badgeName");
  if (!badgeName) {
    logInvalidArguments("setBadge");
    return;
  }
  // A name without an image in the bundle restores the extension's own image.
  std::optional<Bytes> image;
  const Bundle& bundle = *env_.platform.mainBundle;
  if (auto path = bundle.pathForResource(*badgeName, "png")) {
    auto contents = bundle.contentsOfFile(*path);
    if (auto* bytes = std::get_if<std::string>(&contents)) image = toBytes(*bytes);
  }
  tabs_.withActiveToolbarItem([image = std::move(image)](auto item) { item->setImage(image); });
}

void BackgroundCommandDispatcher::setBadgeText(const BackgroundCommand& command) {
  std::optional<std::string> badgeText = stringArgument(command.data, "badgeText");
  if (!badgeText) {
    logInvalidArguments("setBadgeText");
    return;
  }
  tabs_.withActiveToolbarItem([text = *badgeText](auto item) { item->setBadgeText(text); });
}

void BackgroundCommandDispatcher::setUserInfo(const BackgroundCommand& command) {
  SharedData& shared = *env_.sharedData;
  if (!command.data) {
    shared.userInfo.setValue(std::nullopt);
    return;
  }
  const Json& data = *command.data;
  auto userId = json::string(data, "userId");
  auto isTestUser = json::boolean(data, "isTestUser");
  auto isAnonymous = json::boolean(data, "isAnonymous");
  auto containerId = json::string(data, "containerId");
  if (!userId || !isTestUser || !isAnonymous || !containerId) {
    logInvalidArguments("setUserInfo");
    return;
  }
  shared.userInfo.setValue(UserInfo{*userId, *isTestUser, *isAnonymous, *containerId});
  shared.companionContainerId.setValue(*containerId);
}

void BackgroundCommandDispatcher::oauthComplete(const BackgroundCommand& command) {
  if (auto signIn = hooks_.signInFlow) signIn->oauthComplete(stringArgument(command.data, "error"));
}

}  // namespace qv
