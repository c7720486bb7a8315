// Every call safari-host makes on the extension (any method name, any arguments) is
// answered once or refused with one error, and reaches the background page only as
// well-formed calls. Input: the call as the extension's reader receives it, as JSON text
// {"call": METHOD, "args": {...}}; several calls may follow one another, one per line.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "ExtensionFuzzWorld.h"
#include "SafariExtension/HostCallRouter.h"
#include "platform/JsonFields.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qv::fuzzing::World world;
  qv::HostCallRouter router(*world.env);
  qv::HostCallRouter::Parts parts;
  parts.application = world.browser;
  parts.page = [&world](const std::string& ref) -> std::shared_ptr<qv::SafariPage> {
    return ref == world.page->id() ? world.page : nullptr;
  };
  parts.window = [](const std::string&) -> std::shared_ptr<qv::SafariWindow> { return nullptr; };
  parts.registry = world.registry;
  parts.host = world.shared;
  parts.webViews = world.webViews;
  router.connect(std::move(parts));

  std::istringstream lines(std::string(reinterpret_cast<const char*>(data), size));
  int calls = 0;
  for (std::string line; std::getline(lines, line) && calls < 16; ++calls) {
    std::optional<qv::Json> message = qv::json::parse(line);
    if (!message || !message->is_object()) continue;
    std::optional<std::string> method = qv::json::string(*message, "call");
    const qv::Json* args = qv::json::member(*message, "args");
    router.calls().dispatch(method.value_or(""), args ? *args : qv::Json::object(),
                            qv::ipc::Responder());
    world.fakes.mainQueue->runUntilIdle();
    // Ready after the first call, so that later ones reach a ready page.
    if (calls == 0 && world.webViews->lastView()) world.view().postMessage("ready", qv::Json());
    world.fakes.mainQueue->runUntilIdle();
  }
  if (world.webViews->lastView()) qv::fuzzing::checkEvaluations(world.view());
  return 0;
}
