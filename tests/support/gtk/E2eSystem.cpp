#include "tests/support/gtk/E2eSystem.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "tests/support/IpcText.h"
#include "tests/support/Wait.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kCompanionExecutable = "/Contents/MacOS/Quorvane_for_Safari";
constexpr const char* kAppexPath = "/Contents/PlugIns/Quorvane_Safari_Extension.appex";
constexpr const char* kCaName = "dev-ca.pem";

// Replaces the QVDeployment dictionary of an Info.plist: deployment values are fixed
// when the bundle is built, so a test copy gets its own.
bool rewriteDeployment(const std::string& plistPath, const std::string& hostAndPort) {
  std::string text = fileContents(plistPath);
  std::size_t key = text.find("<key>QVDeployment</key>");
  std::size_t open = key == std::string::npos ? key : text.find("<dict>", key);
  std::size_t close = open == std::string::npos ? open : text.find("</dict>", open);
  if (close == std::string::npos) return false;
  std::string values;
  for (auto [name, value] :
       {std::pair<const char*, std::string>{"WebOrigin", "https://" + hostAndPort},
        {"BareDomain", hostAndPort},
        {"AuthHost", hostAndPort},
        {"AnalyticsHost", hostAndPort},
        {"LogHost", hostAndPort},
        {"CACertificates", kCaName}}) {
    values += "<key>" + std::string(name) + "</key><string>" + value + "</string>";
  }
  text.replace(open, close + 7 - open, "<dict>" + values + "</dict>");
  std::ofstream(plistPath, std::ios::binary | std::ios::trunc) << text;
  return true;
}

}  // namespace

bool companionBuilt() {
  return fs::exists(std::string(QV_APP_BUNDLE) + kCompanionExecutable);
}

E2eSystem::E2eSystem(std::optional<std::string> tracePath) {
  HostProcess::Options options;
  options.tracePath = std::move(tracePath);
  options.registerBundle = false;
  options.enableExtension = false;  // each test enables it, as a person would
  host_ = std::make_unique<HostProcess>(options);
  if (service_.ok()) assembleBundle();
}

E2eSystem::~E2eSystem() {
  // The browser first: it ends the extension process; then the companion.
  host_.reset();
  if (companion_) {
    companion_->signal(SIGTERM);
    companion_->finish(10s);
  }
}

void E2eSystem::assembleBundle() {
  app_ = bundleRoot_.path() + "/Quorvane_for_Safari.app";
  std::error_code error;
  // Real copies: the executables find their bundle two levels above their own path.
  fs::copy(QV_APP_BUNDLE, app_, fs::copy_options::recursive, error);
  ASSERT_FALSE(error) << "cannot copy " << QV_APP_BUNDLE << ": " << error.message();
  std::string ca = fs::path(service_.recordPath()).parent_path() / "ca.pem";
  std::string hostAndPort = "127.0.0.1:" + std::to_string(service_.port());
  for (const std::string& contents : {app_ + "/Contents", app_ + kAppexPath + "/Contents"}) {
    ASSERT_TRUE(rewriteDeployment(contents + "/Info.plist", hostAndPort)) << contents;
    fs::copy_file(ca, contents + "/Resources/" + kCaName, fs::copy_options::overwrite_existing);
  }
}

std::vector<std::string> E2eSystem::environment() const {
  return {"XDG_CONFIG_HOME=" + host_->configHome(), "XDG_DATA_HOME=" + host_->dataHome(),
          "XDG_RUNTIME_DIR=" + host_->runtimeDir(),
          "XDG_CACHE_HOME=" + host_->root().path() + "/cache"};
}

void E2eSystem::registerSchemeHandler() {
  // What scripts/run does with xdg-mime: the desktop hands quorvane.extension URLs to
  // this copy's companion (a second launch forwards the URL to the running one).
  std::string entry = fileContents(app_ + "/Contents/Resources/quorvane-for-safari.desktop");
  std::size_t exec = entry.find("\nExec=");
  ASSERT_NE(exec, std::string::npos) << "the desktop entry has no Exec line";
  std::size_t end = entry.find('\n', exec + 1);
  entry.replace(exec + 1, end - exec - 1, "Exec=\"" + app_ + kCompanionExecutable + "\" %u");
  host_->root().write("data/applications/quorvane-for-safari.desktop", entry);
  host_->root().write("config/mimeapps.list",
                      "[Default Applications]\n"
                      "x-scheme-handler/quorvane.extension=quorvane-for-safari.desktop\n");
}

bool E2eSystem::start(bool withCompanion) {
  if (!service_.ok() || app_.empty()) return false;
  if (withCompanion) {
    registerSchemeHandler();
    if (testing::Test::HasFatalFailure()) return false;
  } else {
    // What the companion does at launch: make the bundle known to safari-host.
    host_->root().write("data/safari-host/apps/" + std::string(kCompanionId) + ".json",
                        Json{{"bundlePath", app_}}.dump());
  }
  if (!host_->start()) return false;
  if (withCompanion) {
    auto started = ChildProcess::start(
        {app_ + kCompanionExecutable},
        {.environment = environment(), .captureStdout = true, .captureStderr = true});
    if (!started) {
      ADD_FAILURE() << "cannot start the companion";
      return false;
    }
    companion_.emplace(std::move(*started));
  }
  return true;
}

std::optional<pid_t> E2eSystem::companionPid() const {
  if (!companion_) return std::nullopt;
  return companion_->pid();
}

bool E2eSystem::enableExtension() {
  // safari-host learns the bundle from the registration folder, which may lag the start.
  bool known = waitUntil(
      [this] {
        return host_
            ->call("automation.setExtensionEnabled",
                   Json{{"extensionIdentifier", kExtensionId}, {"enabled", true}})
            .result.has_value();
      },
      30s);
  EXPECT_TRUE(known) << "safari-host never knew " << kExtensionId;
  return known;
}

Json E2eSystem::evaluate(const std::string& tab, const std::string& script,
                         const std::string& world) {
  Json args{{"tab", tab}, {"script", script}, {"world", world}};
  if (world == "extension") args["extensionIdentifier"] = kExtensionId;
  ipc::Reply reply = host_->call("automation.evaluate", args);
  if (!reply.result) {
    ADD_FAILURE() << "evaluate " << script << ": " << (reply.error ? reply.error->message : "?");
    return nullptr;
  }
  return reply.result->value("value", Json());
}

Json E2eSystem::openAssistedPage(const std::string& path) {
  Json opened = host_->openWindowAndWait(service_.origin() + path);
  if (opened.is_null()) return opened;
  std::string tab = opened["tab"];
  bool greeted = waitUntil(
      [&] {
        ipc::Reply reply = host_->call(
            "automation.evaluate", Json{{"tab", tab},
                                        {"world", "extension"},
                                        {"extensionIdentifier", kExtensionId},
                                        {"script",
                                         "!!window.qvAssistant && window.qvAssistant.received.some("
                                         "(m) => m.name === 'qv.hello')"}});
        return reply.result && reply.result->value("value", Json()) == Json(true);
      },
      60s);
  if (!greeted) {
    ADD_FAILURE() << "the content script on " << path << " was never greeted";
    return nullptr;
  }
  return opened;
}

std::vector<Json> E2eSystem::tabs() {
  std::vector<Json> all;
  ipc::Reply reply = host_->call("automation.listWindows");
  if (!reply.result) return all;
  for (const Json& window : (*reply.result)["windows"]) {
    for (Json tab : window["tabs"]) {
      tab["window"] = window["window"];
      all.push_back(std::move(tab));
    }
  }
  return all;
}

std::optional<std::string> E2eSystem::readShared(const std::string& key) {
  CommandResult result =
      runCommand({QV_DEFAULTS_PATH, "--suite", kSuite, "read", key}, environment(), 10s);
  if (result.exitCode != 0) return std::nullopt;
  std::string value = result.out;
  while (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

std::vector<Json> E2eSystem::records(const std::string& method, const std::string& path) {
  std::vector<Json> matching;
  for (const nlohmann::json& record : service_.records()) {
    if (record.is_object() && record.value("method", "") == method &&
        record.value("path", "") == path) {
      matching.push_back(Json::parse(record.dump()));
    }
  }
  return matching;
}

}  // namespace qv::test
