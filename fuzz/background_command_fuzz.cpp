// Any script message body must parse into a command that keeps exactly the fields of
// the right type, and carrying it out under any of the 13 names must neither crash nor
// let outside text run in the background page. Input: one byte choosing the handler,
// then the body as JSON text (text that does not parse is posted as a JSON string); the
// same bytes also answer any fetch the command starts.
#include <cstdint>
#include <cstdlib>

#include "ExtensionFuzzWorld.h"
#include "platform/JsonFields.h"
#include "platform/testing/RecordingUrlSession.h"

namespace {

void checkParse(const qv::Json& body) {
  std::optional<qv::BackgroundCommand> command = qv::BackgroundCommand::parse(body);
  bool named = body.is_object() && body.contains("name") && body["name"].is_string();
  if (command.has_value() != named) std::abort();
  if (!command) return;
  if (command->name != body["name"]) std::abort();
  bool hasPageId = body.contains("pageId") && body["pageId"].is_string();
  if (command->pageId.has_value() != hasPageId) std::abort();
  if (hasPageId && *command->pageId != body["pageId"]) std::abort();
  bool hasData = body.contains("data") && body["data"].is_object();
  if (command->data.has_value() != hasData) std::abort();
  if (hasData && *command->data != body["data"]) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  qv::BackgroundHandler handler = qv::allBackgroundHandlers[data[0] % 13];
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::optional<qv::Json> parsed = qv::json::parse(text);
  qv::Json body = parsed ? std::move(*parsed) : qv::Json(text);
  checkParse(body);

  qv::fuzzing::World world;
  world.registry->registerPage("p1", world.page);
  world.shared->instance();
  world.view().postMessage("ready", qv::Json());
  world.view().postMessage(std::string(qv::toString(handler)), body);
  world.urlSession->answerAll(qv::testing::RecordingUrlSession::http(200, text));
  world.fakes.mainQueue->runUntilIdle();
  qv::fuzzing::checkEvaluations(world.view());
  return 0;
}
