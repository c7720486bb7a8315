// safari-host: a small WebKitGTK browser that hosts Safari-style app extensions.
//   safari-host [--automation] [--trace=FILE] [URL...]
// A second launch for the same user and runtime directory hands its URLs to the
// running browser over the control socket and exits.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ipc/Connection.h"
#include "ipc/ControlSocket.h"
#include "ipc/Paths.h"
#include "ipc/Protocol.h"
#include "platform/linux/system/Trace.h"
#include "platform/linux/webkit/WebKitLaunchFailure.h"
#include "safari-host/AddressText.h"
#include "safari-host/HostApplication.h"

namespace {

bool forwardToRunningBrowser(const std::vector<std::string>& urls) {
  auto connection = qv::ipc::connectToControlSocket(qv::ipc::controlSocketPath(), {});
  if (!connection) return false;
  std::vector<std::string> toOpen = urls.empty() ? std::vector<std::string>{"about:blank"} : urls;
  for (const std::string& url : toOpen) {
    qv::ipc::Reply reply =
        connection->callAndWait(qv::ipc::control::openUrl, qv::Json{{"url", url}});
    if (reply.error) std::fprintf(stderr, "safari-host: %s\n", reply.error->message.c_str());
  }
  connection->close();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  qv::reportWebKitLaunchFailures("safari-host");
  std::vector<std::string> urls;
  bool automation = false;
  for (int index = 1; index < argc; ++index) {
    if (std::strcmp(argv[index], "--help") == 0 || std::strcmp(argv[index], "-h") == 0) {
      std::printf(
          "usage: %s [--automation] [--trace=FILE] [URL...]\n"
          "  --automation  serve the automation calls of the control socket (tests,\n"
          "                demos); windows then say they are under automation\n"
          "  --trace=FILE  write a trace of each message's path to FILE (Chrome\n"
          "                trace-event JSON); extension processes write FILE.*.json\n",
          argv[0]);
      return 0;
    }
    if (std::strcmp(argv[index], "--automation") == 0) {
      automation = true;
      continue;
    }
    if (std::strncmp(argv[index], "--trace=", 8) == 0) {
      if (argv[index][8] == '\0' || !qv::trace::start(argv[index] + 8, "safari-host")) return 2;
      continue;
    }
    if (std::optional<std::string> url = qv::host::urlFromAddressText(argv[index])) {
      urls.push_back(*url);
    } else {
      std::fprintf(stderr, "safari-host: not an address: %s\n", argv[index]);
      return 2;
    }
  }
  // Refused before anything starts: a folder others can reach would hand them the browser.
  if (std::optional<std::string> problem =
          qv::ipc::controlFolderProblem(qv::ipc::controlSocketPath(), /*create=*/true)) {
    std::fprintf(stderr, "safari-host: cannot use the control socket: %s\n", problem->c_str());
    return 1;
  }
  if (forwardToRunningBrowser(urls)) return 0;
  qv::host::HostApplication application(std::move(urls), automation);
  return application.run(argv[0]);
}
