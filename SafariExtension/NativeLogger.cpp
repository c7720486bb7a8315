#include "SafariExtension/NativeLogger.h"

#include "platform/EnumNames.h"

namespace qv {
namespace {

using enum NativeLogger;

// The settingsPopup* cases go out as "settingPopup…" (no s): the endpoint's names.
constexpr EnumName<NativeLogger> names[] = {
    {handleCompanionMessage, "handleCompanionMessage"},
    {oauthBeginCreateUrl, "oauth.begin.createUrl"},
    {oauthBeginOpenTab, "oauth.begin.openTab"},
    {oauthExchange, "oauth.exchange"},
    {oauthCompleteOpenSuccessTab, "oauth.complete.openSuccessTab"},
    {oauthCompleteReportError, "oauth.complete.reportError"},
    {pageHandleMessageUnknownSrcPageId, "page.handleMessage.unknownSrcPageId"},
    {pageHandleMessageUnknownMessageName, "page.handleMessage.unknownMessageName"},
    {pageHandleMessageInvalidMessage, "page.handleMessage.invalidMessage"},
    {pageCallSerialization, "page.call.serialization"},
    {pagePassToBgPage, "page.passToBgPage"},
    {pageActivePage, "page.activePage"},
    {pageSendToContentPage, "page.sendToContentPage"},
    {settingsPopupHandleMessageUnknownMessageName, "settingPopup.handleMessage.unknownMessageName"},
    {settingsPopupHandleMessageInvalidMessage, "settingPopup.handleMessage.invalidMessage"},
    {settingsPopupSendToSettingsPopup, "settingPopup.sendToSettingsPopup"},
    {settingPopupWebViewInitScripts, "settingPopup.webView.init.scripts"},
    {settingPopupWebViewInitLoadTemplate, "settingPopup.webView.init.loadTemplate"},
    {bgWebViewInitDataStore, "bg.webView.init.dataStore"},
    {bgWebViewInitScripts, "bg.webView.init.scripts"},
    {bgWebViewInitLoadBgTemplate, "bg.webView.init.loadBgTemplate"},
    {bgWebViewHandleMessageInvalidArguments, "bg.webView.handleMessage.invalidArguments"},
    {bgWebViewHandleMessageNoPageId, "bg.webView.handleMessage.noPageId"},
};

}  // namespace

std::string_view toString(NativeLogger logger) {
  return enumName(names, logger);
}

std::optional<NativeLogger> nativeLoggerFromString(std::string_view text) {
  return enumValue(names, text);
}

}  // namespace qv
