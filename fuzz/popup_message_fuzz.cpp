// The settings popup's page posts six kinds of message; its script runs the service's
// web content. Whatever name and body arrive, the popup reaches the background page only
// with well-formed calls, asks only for a real size and never runs outside text as
// script. Input: one byte choosing the handler, then the body as JSON text.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ExtensionFuzzWorld.h"
#include "SafariExtension/SafariExtensionSettingPopupViewController.h"
#include "platform/JsonFields.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  using Popup = qv::SafariExtensionSettingPopupViewController;
  static const char* const names[] = {"sendToBgFromSettingsPopup",
                                      "settingPopupReady",
                                      "openUrl",
                                      "setPopupSize",
                                      "beginOAuth",
                                      "closePopup",
                                      "unknown"};
  const std::string name = names[data[0] % 7];
  std::optional<qv::Json> body =
      qv::json::parse(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));

  qv::fuzzing::World world;
  auto popup = std::make_shared<Popup>(*world.env, world.browser, nullptr);
  world.shared->setHooks(qv::BackgroundPageHooks{nullptr, popup, {}});
  qv::SafariExtensionViewController& host = world.shared->instance();
  world.fakes.mainQueue->runUntilIdle();
  world.view().postMessage("ready", qv::Json());
  for (int round = 0; round < 2; ++round) {
    popup->userContentController(name, body.value_or(qv::Json()));
    world.fakes.mainQueue->runUntilIdle();
    if (round == 0) popup->userContentController("settingPopupReady", qv::Json::object());
  }
  qv::ContentSize popupSize = host.preferredContentSize();
  // The window clamps what it shows; the size asked for is at least a real size.
  if (!std::isfinite(popupSize.width) || !std::isfinite(popupSize.height) || popupSize.width < 0 ||
      popupSize.height < 0) {
    std::abort();
  }
  qv::fuzzing::checkEvaluations(world.view());
  world.shared->setHooks({});
  return 0;
}
