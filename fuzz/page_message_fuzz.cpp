// A content page's message with any name byte and any user info must register exactly
// the page it names (or none), and may only ever reach the background page as well-formed
// calls. Input: one byte choosing the message name, then the user info as JSON text
// (text that does not parse counts as no user info).
#include <cstdint>
#include <cstdlib>

#include "ExtensionFuzzWorld.h"
#include "SafariExtension/SafariExtensionHandler.h"
#include "platform/JsonFields.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const char* const names[] = {
      "unregisterPage", "activePage",    "passToBgPage", "beginOAuth",
      "closeLoginTab",  "oauthExchange", "unknownName",  ""};
  std::string name = names[data[0] % 8];
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::optional<qv::Json> userInfo = qv::json::parse(text);

  qv::fuzzing::World world;
  qv::SafariExtensionHandler handler(*world.env, world.browser, world.registry, world.shared,
                                     nullptr);
  // Once before the page is ready and once after.
  for (int round = 0; round < 2; ++round) {
    handler.messageReceived(name, world.page, userInfo);
    world.fakes.mainQueue->runUntilIdle();
    if (round == 0) world.view().postMessage("ready", qv::Json());
  }

  std::optional<std::string> pageId;
  if (userInfo && userInfo->is_object() && userInfo->contains("meta")) {
    pageId = qv::json::string(userInfo->at("meta"), "srcPageId");
  }
  auto pages = world.registry->allPages();
  bool registered = pageId && name != "unregisterPage";
  if (pages.size() != (registered ? 1u : 0u)) std::abort();
  if (registered && world.registry->lookup(*pageId) != world.page) std::abort();
  qv::fuzzing::checkEvaluations(world.view());
  return 0;
}
