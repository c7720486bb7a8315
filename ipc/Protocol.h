#pragma once

// The framed-JSON protocol between safari-host, the extension process and control-socket
// clients (the companion, tests, the walkthrough), declared once. Both ends call and
// dispatch through these declarations, so a method's name and the shape of its
// arguments and result are written here and nowhere else.

#include "ipc/Method.h"

namespace qv::ipc {

// ---------------------------------------------------------------------------------------
// safari-host → extension process: the SFSafariExtensionHandler entry points. The
// extension answers them on its connection's reader thread.
namespace handler {

inline constexpr Field kMessageReceivedArgs[] = {
    {"name", Type::String}, {"page", Type::String}, {"userInfo", Type::Object, true}};
inline constexpr Method messageReceived{"handler.messageReceived", kMessageReceivedArgs, {}, false};

// The window may be missing: the item is validated even with no window to name.
inline constexpr Field kWindowArgs[] = {{"window", Type::String, true}};
inline constexpr Field kValidateResult[] = {{"enabled", Type::Bool}, {"badgeText", Type::String}};
inline constexpr Method validateToolbarItem{"handler.validateToolbarItem", kWindowArgs,
                                            kValidateResult};
inline constexpr Method popoverWillShow{"handler.popoverWillShow", kWindowArgs, {}, false};
inline constexpr Method popoverDidClose{"handler.popoverDidClose", kWindowArgs, {}, false};

inline constexpr Field kFromContainingAppArgs[] = {{"name", Type::String},
                                                   {"userInfo", Type::Object, true}};
inline constexpr Method messageReceivedFromContainingApp{
    "handler.messageReceivedFromContainingApp", kFromContainingAppArgs, {}, false};

// The popover's page lives in the extension's process, out of the browser's reach:
// safari-host passes these automation calls on.
inline constexpr Field kEvaluateArgs[] = {{"script", Type::String}};
inline constexpr Field kValueResult[] = {{"value", Type::Any}};
inline constexpr Method evaluatePopover{"automation.evaluatePopover", kEvaluateArgs, kValueResult,
                                        true, true};
inline constexpr Field kScreenshotArgs[] = {{"path", Type::String}};
inline constexpr Method popoverScreenshot{
    "automation.popoverScreenshot", kScreenshotArgs, {}, true, true};

// The Develop menu: WebKit's Web Inspector for one of the extension's own web views
// ("background" or "popup"), and the background page's template loaded again.
inline constexpr Field kShowWebInspectorArgs[] = {{"target", Type::String}};
inline constexpr Method showWebInspector{"handler.showWebInspector", kShowWebInspectorArgs, {},
                                         false};
inline constexpr Method reloadBackgroundPage{"handler.reloadBackgroundPage", {}, {}, false};

inline constexpr const Method* methods[] = {&messageReceived,
                                            &validateToolbarItem,
                                            &popoverWillShow,
                                            &popoverDidClose,
                                            &messageReceivedFromContainingApp,
                                            &evaluatePopover,
                                            &popoverScreenshot,
                                            &showWebInspector,
                                            &reloadBackgroundPage};

}  // namespace handler

// ---------------------------------------------------------------------------------------
// extension process → safari-host: the SFSafari* object operations. References to
// objects that no longer exist give null results or do nothing.
namespace browser {

inline constexpr Field kWindowResult[] = {{"window", Type::Ref}};
inline constexpr Field kWindowsResult[] = {{"windows", Type::RefList}};
inline constexpr Field kUrlArgs[] = {{"url", Type::String}};
inline constexpr Method applicationGetActiveWindow{
    "application.getActiveWindow", {}, kWindowResult};
inline constexpr Method applicationGetAllWindows{"application.getAllWindows", {}, kWindowsResult};
inline constexpr Method applicationOpenWindow{"application.openWindow", kUrlArgs, kWindowResult};

inline constexpr Field kWindowArgs[] = {{"window", Type::Ref}};
inline constexpr Field kOpenTabArgs[] = {
    {"window", Type::Ref}, {"url", Type::String}, {"makeActiveIfPossible", Type::Bool, true}};
inline constexpr Field kTabResult[] = {{"tab", Type::Ref}};
inline constexpr Field kTabsResult[] = {{"tabs", Type::RefList}};
inline constexpr Field kToolbarItemResult[] = {{"toolbarItem", Type::Ref}};
inline constexpr Method windowOpenTab{"window.openTab", kOpenTabArgs, kTabResult};
inline constexpr Method windowGetAllTabs{"window.getAllTabs", kWindowArgs, kTabsResult};
inline constexpr Method windowGetActiveTab{"window.getActiveTab", kWindowArgs, kTabResult};
inline constexpr Method windowGetToolbarItem{"window.getToolbarItem", kWindowArgs,
                                             kToolbarItemResult};
inline constexpr Method windowClose{"window.close", kWindowArgs, {}, false};

inline constexpr Field kTabArgs[] = {{"tab", Type::Ref}};
inline constexpr Field kNavigateArgs[] = {{"tab", Type::Ref}, {"url", Type::String}};
inline constexpr Field kPagesResult[] = {{"pages", Type::RefList}};
inline constexpr Field kPageResult[] = {{"page", Type::Ref}};
inline constexpr Method tabGetPages{"tab.getPages", kTabArgs, kPagesResult};
inline constexpr Method tabGetActivePage{"tab.getActivePage", kTabArgs, kPageResult};
inline constexpr Method tabGetContainingWindow{"tab.getContainingWindow", kTabArgs, kWindowResult};
inline constexpr Method tabNavigate{"tab.navigate", kNavigateArgs, {}, false};
inline constexpr Method tabClose{"tab.close", kTabArgs, {}, false};

// properties: {"url": string or null, "title": string or null, "usesPrivateBrowsing": bool}
inline constexpr Field kPageArgs[] = {{"page", Type::Ref}};
inline constexpr Field kPropertiesResult[] = {{"properties", Type::Object, true}};
inline constexpr Field kDispatchToScriptArgs[] = {
    {"page", Type::Ref}, {"name", Type::String}, {"userInfo", Type::Object, true}};
inline constexpr Method pageGetProperties{"page.getProperties", kPageArgs, kPropertiesResult};
inline constexpr Method pageDispatchMessageToScript{
    "page.dispatchMessageToScript", kDispatchToScriptArgs, {}, false};

// image: {"png": base64} or null (the extension's own image again)
inline constexpr Field kSetImageArgs[] = {{"toolbarItem", Type::Ref},
                                          {"image", Type::Object, true}};
inline constexpr Field kSetBadgeTextArgs[] = {{"toolbarItem", Type::Ref},
                                              {"text", Type::String, true}};
inline constexpr Method toolbarItemSetImage{"toolbarItem.setImage", kSetImageArgs, {}, false};
inline constexpr Method toolbarItemSetBadgeText{
    "toolbarItem.setBadgeText", kSetBadgeTextArgs, {}, false};
inline constexpr Method popoverDismiss{"popover.dismiss", {}, {}, false};

inline constexpr const Method* methods[] = {&applicationGetActiveWindow,
                                            &applicationGetAllWindows,
                                            &applicationOpenWindow,
                                            &windowOpenTab,
                                            &windowGetAllTabs,
                                            &windowGetActiveTab,
                                            &windowGetToolbarItem,
                                            &windowClose,
                                            &tabGetPages,
                                            &tabGetActivePage,
                                            &tabGetContainingWindow,
                                            &tabNavigate,
                                            &tabClose,
                                            &pageGetProperties,
                                            &pageDispatchMessageToScript,
                                            &toolbarItemSetImage,
                                            &toolbarItemSetBadgeText,
                                            &popoverDismiss};

}  // namespace browser

// ---------------------------------------------------------------------------------------
// control-socket client → safari-host: the containing application's SafariServices
// calls, and automation for tests and demos. Every one has a reply.
namespace control {

inline constexpr Field kIdentifierArgs[] = {{"extensionIdentifier", Type::String}};
inline constexpr Field kDispatchMessageArgs[] = {{"extensionIdentifier", Type::String},
                                                 {"name", Type::String},
                                                 {"userInfo", Type::Object, true}};
inline constexpr Field kStateResult[] = {{"isEnabled", Type::Bool}};
inline constexpr Method dispatchMessage{"extensions.dispatchMessage", kDispatchMessageArgs, {}};
inline constexpr Method getState{"extensions.getState", kIdentifierArgs, kStateResult};
inline constexpr Method showPreferences{"extensions.showPreferences", kIdentifierArgs, {}};

// A second launch of safari-host hands the addresses it was given to the running one,
// which opens each in a new window, as a person's second launch of a browser does.
inline constexpr Field kOpenUrlArgs[] = {{"url", Type::String}};
inline constexpr Method openUrl{"browser.openUrl", kOpenUrlArgs, {}};

// windows: [{"window", "active", "tabs": [{"tab", "active", "url", "title", "loading"}]}]
inline constexpr Field kListWindowsResult[] = {{"windows", Type::Array}};
inline constexpr Field kOpenWindowArgs[] = {{"url", Type::String, true}};
inline constexpr Field kOpenWindowResult[] = {{"window", Type::String}, {"tab", Type::String}};
inline constexpr Field kOpenTabArgs[] = {
    {"window", Type::String}, {"url", Type::String, true}, {"activate", Type::Bool, true}};
inline constexpr Field kTabResult[] = {{"tab", Type::String}};
inline constexpr Field kTabArgs[] = {{"tab", Type::String}};
inline constexpr Field kWaitForLoadArgs[] = {{"tab", Type::String},
                                             {"timeoutMs", Type::Number, true}};
inline constexpr Field kUrlResult[] = {{"url", Type::String}};
// world: "page" (default) or "extension", then in the named extension's world (default:
// the first enabled extension's).
inline constexpr Field kEvaluateArgs[] = {{"tab", Type::String},
                                          {"script", Type::String},
                                          {"world", Type::String, true},
                                          {"extensionIdentifier", Type::String, true}};
inline constexpr Field kValueResult[] = {{"value", Type::Any}};
inline constexpr Field kToolbarItemArgs[] = {{"window", Type::String},
                                             {"extensionIdentifier", Type::String}};
inline constexpr Field kToolbarItemResult[] = {
    {"badgeText", Type::String},   {"hasImage", Type::Bool}, {"imageName", Type::String, true},
    {"toolbarItem", Type::String}, {"enabled", Type::Bool},  {"popoverShown", Type::Bool}};
inline constexpr Field kSetEnabledArgs[] = {{"extensionIdentifier", Type::String},
                                            {"enabled", Type::Bool}};
inline constexpr Field kScreenshotArgs[] = {{"window", Type::String}, {"path", Type::String}};
inline constexpr Field kEvaluatePopoverArgs[] = {{"extensionIdentifier", Type::String},
                                                 {"script", Type::String}};
inline constexpr Field kPopoverScreenshotArgs[] = {{"extensionIdentifier", Type::String},
                                                   {"path", Type::String}};

inline constexpr Method listWindows{"automation.listWindows", {}, kListWindowsResult, true, true};
inline constexpr Method openWindow{"automation.openWindow", kOpenWindowArgs, kOpenWindowResult,
                                   true, true};
inline constexpr Method openTab{"automation.openTab", kOpenTabArgs, kTabResult, true, true};
inline constexpr Method activateTab{"automation.activateTab", kTabArgs, {}, true, true};
inline constexpr Method waitForLoad{
    "automation.waitForLoad", kWaitForLoadArgs, kUrlResult, true, true, "timeoutMs"};
inline constexpr Method evaluate{"automation.evaluate", kEvaluateArgs, kValueResult, true, true};
inline constexpr Method toolbarItem{"automation.toolbarItem", kToolbarItemArgs, kToolbarItemResult,
                                    true, true};
inline constexpr Method clickToolbarItem{
    "automation.clickToolbarItem", kToolbarItemArgs, {}, true, true};
inline constexpr Method setExtensionEnabled{
    "automation.setExtensionEnabled", kSetEnabledArgs, {}, true, true};
inline constexpr Method screenshot{"automation.screenshot", kScreenshotArgs, {}, true, true};
inline constexpr Method evaluatePopover{"automation.evaluatePopover", kEvaluatePopoverArgs,
                                        kValueResult, true, true};
inline constexpr Method popoverScreenshot{
    "automation.popoverScreenshot", kPopoverScreenshotArgs, {}, true, true};
inline constexpr Method quit{"automation.quit", {}, {}, true, true};

inline constexpr const Method* methods[] = {&dispatchMessage,
                                            &getState,
                                            &openUrl,
                                            &showPreferences,
                                            &listWindows,
                                            &openWindow,
                                            &openTab,
                                            &activateTab,
                                            &waitForLoad,
                                            &evaluate,
                                            &toolbarItem,
                                            &clickToolbarItem,
                                            &setExtensionEnabled,
                                            &screenshot,
                                            &evaluatePopover,
                                            &popoverScreenshot,
                                            &quit};

}  // namespace control

}  // namespace qv::ipc
