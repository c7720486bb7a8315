#pragma once

#include <optional>
#include <string_view>

namespace qv {

// The extension's log sites; each case's string is the dotted name the log endpoint
// receives after "native.".
enum class NativeLogger {
  handleCompanionMessage,
  oauthBeginCreateUrl,
  oauthBeginOpenTab,
  oauthExchange,
  oauthCompleteOpenSuccessTab,
  oauthCompleteReportError,
  pageHandleMessageUnknownSrcPageId,
  pageHandleMessageUnknownMessageName,
  pageHandleMessageInvalidMessage,
  pageCallSerialization,
  pagePassToBgPage,
  pageActivePage,
  pageSendToContentPage,
  settingsPopupHandleMessageUnknownMessageName,
  settingsPopupHandleMessageInvalidMessage,
  settingsPopupSendToSettingsPopup,
  settingPopupWebViewInitScripts,
  settingPopupWebViewInitLoadTemplate,
  bgWebViewInitDataStore,
  bgWebViewInitScripts,
  bgWebViewInitLoadBgTemplate,
  bgWebViewHandleMessageInvalidArguments,
  bgWebViewHandleMessageNoPageId,
};

std::string_view toString(NativeLogger logger);
std::optional<NativeLogger> nativeLoggerFromString(std::string_view text);

}  // namespace qv
