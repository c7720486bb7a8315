// A scripted Safari app extension for safari-host's tests. It records every call it
// receives as one JSON line in $QV_TEST_EXTENSION_LOG, answers the handler calls, and
// does what the test asks through messages from the containing application:
//   "call" {method, args, tag}   makes that call on the browser, records the outcome
//   "configure" {validateBadgeText, validateEnabled, dieOnValidate}
//   "garbage" / "oversized" / "deep" / "die" / "dieMidCall"   misbehaves on purpose
// A content-page message named "echo" goes back to its page under the same name.
// It has no popover: automation.evaluatePopover answers {"value": {"script": SCRIPT}},
// fails for the script "fail", never answers "hang" and answers "huge" with 17 MiB.
// $QV_TEST_EXTENSION_MODE plays a broken extension from the start: "exitAtStart" exits
// at once; "neverRead" never reads its socket; "hangOnValidate" never answers
// handler.validateToolbarItem.

#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "ipc/Connection.h"
#include "tests/support/IpcText.h"

namespace {

using qv::Json;

std::mutex logMutex;
int logFd = -1;
std::string bundleName;  // the .appex this copy runs from, so the log tells extensions apart

void record(Json entry) {
  entry["pid"] = static_cast<int>(getpid());
  entry["bundle"] = bundleName;
  std::string line = entry.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  std::lock_guard lock(logMutex);
  if (logFd >= 0) (void)!::write(logFd, line.data(), line.size());
}

struct Settings {
  std::mutex mutex;
  std::optional<std::string> validateBadgeText;
  bool validateEnabled = true;
  bool dieOnValidate = false;
  bool hangOnValidate = false;
};

void writeRaw(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t count = ::write(fd, bytes.data() + sent, bytes.size() - sent);
    if (count <= 0) return;
    sent += static_cast<std::size_t>(count);
  }
}

std::string lengthPrefix(std::uint32_t length) {
  std::string prefix(4, '\0');
  for (int i = 0; i < 4; ++i) prefix[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  return prefix;
}

}  // namespace

int main(int argc, char** argv) {
  std::string executable = argv[0];
  std::size_t appex = executable.find(".appex/");
  std::size_t start = executable.rfind('/', appex);
  if (appex != std::string::npos && start != std::string::npos) {
    bundleName = executable.substr(start + 1, appex + 6 - start - 1);
  }
  int fd = -1;
  for (int index = 1; index < argc; ++index) {
    if (std::strncmp(argv[index], "--ipc-fd=", 9) == 0) fd = std::atoi(argv[index] + 9);
  }
  if (const char* path = std::getenv("QV_TEST_EXTENSION_LOG")) {
    logFd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  }
  record(Json{{"event", "start"}, {"argc", argc}, {"fdValid", fcntl(fd, F_GETFD) != -1}});
  if (fd < 0) return 2;
  std::string mode = std::getenv("QV_TEST_EXTENSION_MODE") ? std::getenv("QV_TEST_EXTENSION_MODE") : "";
  if (mode == "exitAtStart") return 1;
  if (mode == "neverRead") {
    for (;;) pause();  // holds the socket open and reads nothing of it
  }
  int rawFd = ::dup(fd);  // for writing bytes that are not frames

  Settings settings;
  settings.hangOnValidate = mode == "hangOnValidate";
  std::mutex closedMutex;
  std::condition_variable closedChanged;
  bool closed = false;
  std::shared_ptr<qv::ipc::Connection> connection;
  std::mutex connectionMutex;
  auto browser = [&] {
    std::lock_guard lock(connectionMutex);
    return connection;
  };

  qv::ipc::Connection::Handlers handlers;
  handlers.onCall = [&](const std::string& method, const Json& args, qv::ipc::Responder responder) {
    record(Json{{"event", "call"}, {"method", method}, {"args", args}});
    if (method == "handler.validateToolbarItem") {
      std::lock_guard lock(settings.mutex);
      if (settings.dieOnValidate) _exit(3);  // dies while the browser waits for the reply
      if (settings.hangOnValidate) return;    // stuck: the browser's watchdog must act
      Json result{{"enabled", settings.validateEnabled}};
      if (settings.validateBadgeText) result["badgeText"] = *settings.validateBadgeText;
      responder.reply(result);
      return;
    }
    if (method == "automation.evaluatePopover") {
      std::string script = args.value("script", "");
      if (script == "hang") return;
      if (script == "fail") return responder.fail("the popover is not shown");
      // An answer larger than any frame may be.
      if (script == "huge") return responder.reply(Json{{"value", std::string(17 << 20, 'h')}});
      return responder.reply(Json{{"value", {{"script", script}}}});
    }
    if (method == "handler.messageReceived" && args.value("name", "") == "echo") {
      browser()->notify(
          "page.dispatchMessageToScript",
          Json{{"page", args["page"]}, {"name", "echo"}, {"userInfo", args["userInfo"]}});
    }
    if (method != "handler.messageReceivedFromContainingApp") {
      responder.reply();
      return;
    }
    std::string name = args.value("name", "");
    Json userInfo = args.contains("userInfo") && args["userInfo"].is_object() ? args["userInfo"]
                                                                              : Json::object();
    if (name == "call") {
      std::string tag = userInfo.value("tag", "");
      std::string target = userInfo.value("method", "");
      Json callArgs = userInfo.contains("args") ? userInfo["args"] : Json::object();
      browser()->call(target, callArgs, [tag, target](qv::ipc::Reply reply) {
        record(Json{{"event", "result"},
                    {"tag", tag},
                    {"method", target},
                    {"result", reply.result ? *reply.result : Json(nullptr)},
                    {"error", reply.error ? Json(reply.error->message) : Json(nullptr)}});
      });
    } else if (name == "configure") {
      std::lock_guard lock(settings.mutex);
      if (userInfo.contains("validateBadgeText")) {
        settings.validateBadgeText = userInfo.value("validateBadgeText", "");
      }
      settings.validateEnabled = userInfo.value("validateEnabled", true);
      settings.dieOnValidate = userInfo.value("dieOnValidate", false);
      record(Json{{"event", "configured"}});
    } else if (name == "garbage") {
      writeRaw(rawFd, lengthPrefix(9) + "not json!");
    } else if (name == "oversized") {
      writeRaw(rawFd, lengthPrefix(0xFFFFFFF0u) + "{}");
    } else if (name == "deep") {
      // Deeper than any sane message, far below the frame limit.
      std::string nested = std::string(200000, '[') + std::string(200000, ']');
      std::string body =
          R"({"call":"application.getAllWindows","id":999999,"args":{"x":)" + nested + "}}";
      writeRaw(rawFd, lengthPrefix(static_cast<std::uint32_t>(body.size())) + body);
    } else if (name == "die") {
      _exit(4);
    } else if (name == "dieMidCall") {
      browser()->call("application.getAllWindows", Json::object(), [](qv::ipc::Reply) {});
      _exit(5);
    }
    responder.reply();
  };
  handlers.onProtocolError = [](const std::string& description) {
    record(Json{{"event", "protocolError"}, {"description", description}});
  };
  handlers.onClose = [&] {
    std::lock_guard lock(closedMutex);
    closed = true;
    closedChanged.notify_all();
  };
  {
    std::lock_guard lock(connectionMutex);
    connection = qv::ipc::Connection::start(fd, std::move(handlers));
  }
  std::unique_lock lock(closedMutex);
  closedChanged.wait(lock, [&] { return closed; });
  record(Json{{"event", "exit"}});
  return 0;
}
