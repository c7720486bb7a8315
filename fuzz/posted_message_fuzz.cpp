// What a content script posts (any page can post to its world's channel) is one message
// with a name and an object or nothing as its user info, or it is refused; a message the
// browser accepts can always be sent back to the page as a script of JSON literals only.
// Input: the posted body as JSON text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/JsonFields.h"
#include "safari-host/ContentScriptApi.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  std::optional<qv::host::PostedMessage> message = qv::host::parsePostedMessage(body);
  if (!message) return 0;
  if (!message->userInfo.is_object() && !message->userInfo.is_null()) std::abort();
  std::optional<std::string> script =
      qv::host::deliverMessageScript(message->name, message->userInfo);
  if (!script) std::abort();
  // Literals carry no raw line terminators a script could be split at.
  for (std::string_view terminator : {"\n", "\r", "\u2028", "\u2029"}) {
    std::optional<std::string> literal = qv::host::javaScriptLiteral(message->userInfo);
    if (!literal || literal->find(terminator) != std::string::npos) std::abort();
  }
  return 0;
}
