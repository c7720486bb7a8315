#include "tests/support/gtk/HostProcess.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ipc/ControlSocket.h"
#include "tests/support/IpcText.h"
#include "tests/support/Wait.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

}  // namespace

HostProcess::HostProcess() : HostProcess(Options{}) {}

HostProcess::HostProcess(Options options) : options_(std::move(options)) {
  std::filesystem::create_directories(configHome());
  std::filesystem::create_directories(dataHome());
  std::filesystem::create_directories(runtimeDir());
  chmod(runtimeDir().c_str(), 0700);
  if (options_.registerBundle) {
    bundlePath_ =
        TestBundle::create(root_.path(), dataHome(), options_.caPemPath, options_.otherExtension);
  }
  if (options_.enableExtension) {
    // The choice holds for the extension as this bundle provides it.
    Json choice{{"enabled", true}, {"bundlePath", bundlePath_}};
    Json extensions = Json::object();
    extensions[TestBundle::kExtensionIdentifier] = choice;
    if (options_.otherExtension) extensions[TestBundle::kOtherIdentifier] = choice;
    root_.write("config/safari-host/extensions.json", Json{{"extensions", extensions}}.dump());
  }
}

HostProcess::~HostProcess() {
  // Unless the test saw it end: a browser that died unnoticed fails here too.
  if (!process_ || ended_) return;
  int status = quit();
  // A browser that crashes on the way out has failed too.
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "safari-host wait status " << status;
}

std::string HostProcess::recordSchemeHandoffs(const std::string& scheme) const {
  std::string received = root_.path() + "/handed-over-" + scheme + ".txt";
  std::string script = root_.write("bin/" + scheme + "-handler.sh",
                                   "#!/bin/sh\nprintf '%s' \"$1\" > " + received + ".tmp && mv " +
                                       received + ".tmp " + received + "\n");
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  root_.write("data/applications/" + scheme + "-handler.desktop",
              "[Desktop Entry]\nType=Application\nName=Test Handler\nExec=" + script +
                  " %u\nMimeType=x-scheme-handler/" + scheme + ";\nNoDisplay=true\n");
  root_.write("config/mimeapps.list", "[Default Applications]\nx-scheme-handler/" + scheme + "=" +
                                          scheme + "-handler.desktop\n");
  return received;
}

pid_t HostProcess::pid() const {
  return process_ ? process_->pid() : -1;
}

std::string HostProcess::socketPath() const {
  return runtimeDir() + "/safari-host-" + std::to_string(getuid()) + "/control.sock";
}

bool HostProcess::start() {
  std::vector<std::string> argv = {QV_SAFARI_HOST_PATH};
  if (options_.automation) argv.push_back("--automation");
  if (options_.tracePath) argv.push_back("--trace=" + *options_.tracePath);
  argv.insert(argv.end(), options_.urls.begin(), options_.urls.end());
  std::string error;
  process_ = ChildProcess::start(
      argv,
      {.environment = {"XDG_CONFIG_HOME=" + configHome(), "XDG_DATA_HOME=" + dataHome(),
                       "XDG_RUNTIME_DIR=" + runtimeDir(),
                       "XDG_CACHE_HOME=" + root_.path() + "/cache",
                       "QV_TEST_EXTENSION_LOG=" + extensionLogPath(),
                       "QV_TEST_EXTENSION_MODE=" + options_.extensionMode}},
      &error);
  if (!process_) {
    ADD_FAILURE() << "cannot start " << QV_SAFARI_HOST_PATH << ": " << error;
    return false;
  }
  ended_ = false;
  bool connected = waitUntil(
      [this] {
        if (!isRunning()) return true;
        control_ = ipc::connectToControlSocket(socketPath(), {});
        return control_ != nullptr;
      },
      60s);
  if (!connected || control_ == nullptr) {
    ADD_FAILURE() << "safari-host did not open its control socket";
    return false;
  }
  return true;
}

bool HostProcess::isRunning() {
  if (!process_ || ended_) return false;
  ended_ = !process_->running();
  return !ended_;
}

int HostProcess::quit() {
  if (!process_ || ended_) return -1;
  ended_ = true;
  if (control_ && options_.automation) {
    control_->callAndWait("automation.quit", Json::object(), 10s);
  } else {
    process_->signal(SIGTERM);
  }
  if (control_) {
    control_->close();
    control_.reset();
  }
  std::optional<int> status = process_->waitForExit(20s);
  if (!status) {
    ADD_FAILURE() << "safari-host did not quit; killing it";
    process_->signal(SIGKILL);
    status = process_->waitForExit(20s);
  }
  return status.value_or(-1);
}

ipc::Reply HostProcess::call(const std::string& method, const Json& args,
                             std::chrono::milliseconds timeout) {
  if (!control_) return ipc::Reply::failure(ipc::ErrorKind::NotSent, "not connected");
  return control_->callAndWait(method, args, timeout);
}

Json HostProcess::callOk(const std::string& method, const Json& args) {
  ipc::Reply reply = call(method, args);
  if (!reply.result) {
    ADD_FAILURE() << method << " " << args.dump() << " failed: " << errorText(reply);
    return nullptr;
  }
  return *reply.result;
}

bool HostProcess::tellExtension(const std::string& name, const Json& userInfo,
                                const std::string& extension) {
  ipc::Reply reply =
      call("extensions.dispatchMessage",
           Json{{"extensionIdentifier", extension}, {"name", name}, {"userInfo", userInfo}});
  return reply.result.has_value();
}

Json HostProcess::extensionCall(const std::string& method, const Json& args,
                                const std::string& extension) {
  std::string tag = "call-" + std::to_string(nextTag_++);
  if (!tellExtension("call", Json{{"method", method}, {"args", args}, {"tag", tag}}, extension)) {
    ADD_FAILURE() << "the extension did not take the call " << method;
    return nullptr;
  }
  std::optional<Json> entry = waitForLog([&](const Json& candidate) {
    return candidate.value("event", "") == "result" && candidate.value("tag", "") == tag;
  });
  if (!entry) {
    ADD_FAILURE() << "no reply to the extension's " << method;
    return nullptr;
  }
  return *entry;
}

std::vector<Json> HostProcess::extensionLog() const {
  std::vector<Json> entries;
  std::istringstream lines(readFile(extensionLogPath()));
  for (std::string line; std::getline(lines, line);) {
    Json entry = Json::parse(line, nullptr, false);
    if (!entry.is_discarded()) entries.push_back(std::move(entry));
  }
  return entries;
}

std::optional<Json> HostProcess::waitForLog(const std::function<bool(const Json&)>& matches,
                                            std::size_t from, std::chrono::milliseconds timeout) {
  std::optional<Json> found;
  waitUntil(
      [&] {
        std::vector<Json> entries = extensionLog();
        for (std::size_t index = from; index < entries.size(); ++index) {
          if (matches(entries[index])) {
            found = entries[index];
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

Json HostProcess::openWindowAndWait(const std::string& url) {
  Json opened = callOk("automation.openWindow", Json{{"url", url}});
  if (opened.is_null()) return opened;
  callOk("automation.waitForLoad", Json{{"tab", opened["tab"]}, {"timeoutMs", 20000}});
  return opened;
}

std::function<bool(const Json&)> isCall(const std::string& method, const std::string& name) {
  return [method, name](const Json& entry) {
    if (entry.value("event", "") != "call" || entry.value("method", "") != method) return false;
    return name.empty() || (entry.contains("args") && entry["args"].value("name", "") == name);
  };
}

}  // namespace qv::test
