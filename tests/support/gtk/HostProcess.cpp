#include "tests/integration/safari-host/SafariHostHarness.h"
#include "tests/support/IpcText.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace qv::test {
namespace {

using namespace std::chrono_literals;

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

std::string pageHtml(const std::string& letter) {
  return "<!doctype html><html><head><title>Page " + letter +
         "</title></head><body><p>This is page " + letter +
         ".</p><script>window.pageSecret = 42; window.pageSawSafari = typeof safari;"
         "</script></body></html>";
}

constexpr const char* kContentScript = R"JS((() => {
  const received = [];
  window.qvTest = { received };
  safari.self.addEventListener("message", (event) => {
    received.push({ name: event.name, hasMessage: event.message !== undefined,
                    message: event.message === undefined ? null : event.message });
  });
  safari.extension.dispatchMessage("hello", { url: location.href });
})();
)JS";

constexpr const char* kStyleSheet = "body { outline: 3px solid rgb(0, 200, 0); }\n";

std::string plistString(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '&')
      escaped += "&amp;";
    else if (c == '<')
      escaped += "&lt;";
    else if (c == '>')
      escaped += "&gt;";
    else
      escaped += c;
  }
  return "<string>" + escaped + "</string>";
}

std::string plist(const std::string& dictBody) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\"><dict>\n" +
         dictBody + "</dict></plist>\n";
}

std::string deployment(const std::optional<std::string>& caName) {
  if (!caName) return "";
  return "<key>QVDeployment</key><dict><key>CACertificates</key>" + plistString(*caName) +
         "</dict>\n";
}

}  // namespace

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

std::string solidPng(int width, int height, unsigned char red, unsigned char green,
                     unsigned char blue) {
  std::string pixels;
  for (int index = 0; index < width * height; ++index) {
    pixels += static_cast<char>(red);
    pixels += static_cast<char>(green);
    pixels += static_cast<char>(blue);
    pixels += static_cast<char>(0xFF);
  }
  GBytes* bytes = g_bytes_new(pixels.data(), pixels.size());
  GdkTexture* texture = gdk_memory_texture_new(width, height, GDK_MEMORY_R8G8B8A8, bytes,
                                               static_cast<gsize>(width) * 4);
  g_bytes_unref(bytes);
  GBytes* png = gdk_texture_save_to_png_bytes(texture);
  g_object_unref(texture);
  gsize size = 0;
  const char* data = static_cast<const char*>(g_bytes_get_data(png, &size));
  std::string result(data, size);
  g_bytes_unref(png);
  return result;
}

long countPixels(const std::string& pngPath, unsigned char red, unsigned char green,
                 unsigned char blue, int tolerance) {
  GdkTexture* texture = gdk_texture_new_from_filename(pngPath.c_str(), nullptr);
  if (texture == nullptr) return -1;
  int width = gdk_texture_get_width(texture);
  int height = gdk_texture_get_height(texture);
  std::vector<unsigned char> data(static_cast<std::size_t>(width) * height * 4);
  // Downloads as cairo's ARGB32: B, G, R, A in memory on little-endian machines.
  gdk_texture_download(texture, data.data(), static_cast<gsize>(width) * 4);
  g_object_unref(texture);
  long count = 0;
  for (std::size_t offset = 0; offset < data.size(); offset += 4) {
    if (std::abs(data[offset + 2] - red) <= tolerance &&
        std::abs(data[offset + 1] - green) <= tolerance &&
        std::abs(data[offset] - blue) <= tolerance) {
      ++count;
    }
  }
  return count;
}

struct TestWebServer::Impl {
  httplib::Server server;
  int port = 0;
  std::thread thread;
};

TestWebServer::TestWebServer() : impl_(std::make_unique<Impl>()) {
  for (std::string letter : {"A", "B", "C"}) {
    std::string path = "/" + std::string(1, static_cast<char>(std::tolower(letter[0])));
    impl_->server.Get(path, [letter](const httplib::Request&, httplib::Response& response) {
      response.set_content(pageHtml(letter), "text/html");
    });
  }
  impl_->port = impl_->server.bind_to_any_port("127.0.0.1");
  impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
  EXPECT_TRUE(waitUntil([this] { return impl_->server.is_running(); }, 10s));
}

TestWebServer::~TestWebServer() {
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

std::string TestWebServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(impl_->port) + path;
}

SilentServer::SilentServer() {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(listen(fd_, 16), 0);  // the kernel completes handshakes; nobody reads
  EXPECT_EQ(getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length), 0);
  port_ = ntohs(address.sin_port);
}

SilentServer::~SilentServer() {
  if (fd_ >= 0) close(fd_);
}

std::string SilentServer::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

namespace {

void writeAppex(const std::string& appex, const std::string& identifier, const std::string& label,
                const std::string& icon) {
  namespace fs = std::filesystem;
  fs::create_directories(appex + "/Contents/MacOS");
  fs::create_directories(appex + "/Contents/Resources");
  std::ofstream(appex + "/Contents/Info.plist") << plist(
      "<key>CFBundleIdentifier</key>" + plistString(identifier) + "<key>CFBundleName</key>" +
      plistString(label) + "<key>CFBundleExecutable</key>" + plistString("QvTestExtension") +
      "<key>NSExtension</key><dict>"
      "<key>NSExtensionPointIdentifier</key>" +
      plistString("com.apple.Safari.extension") + "<key>NSExtensionPrincipalClass</key>" +
      plistString("SafariExtensionHandler") +
      "<key>SFSafariContentScript</key><array><dict><key>Script</key>" + plistString("content.js") +
      "</dict></array>"
      "<key>SFSafariStyleSheet</key><array><dict><key>Style Sheet</key>" +
      plistString("style.css") +
      "</dict></array>"
      "<key>SFSafariToolbarItem</key><dict><key>Action</key>" +
      plistString("Popover") + "<key>Identifier</key>" + plistString("Button") +
      "<key>Image</key>" + plistString(TestBundle::kImageName) + "<key>Label</key>" +
      plistString(label) + "</dict></dict>\n");
  std::ofstream(appex + "/Contents/Resources/content.js") << kContentScript;
  std::ofstream(appex + "/Contents/Resources/style.css") << kStyleSheet;
  std::ofstream(appex + "/Contents/Resources/" + std::string(TestBundle::kImageName),
                std::ios::binary)
      << icon;
  fs::create_symlink(QV_TEST_EXTENSION_PATH, appex + "/Contents/MacOS/QvTestExtension");
}

}  // namespace

std::string TestBundle::create(const std::string& root, const std::string& dataHome,
                               const std::optional<std::string>& caPemPath, bool withOther) {
  namespace fs = std::filesystem;
  std::string app = root + "/TestApp.app";
  fs::create_directories(app + "/Contents/Resources");
  std::optional<std::string> caName;
  if (caPemPath) {
    caName = "dev-ca.pem";
    fs::copy_file(*caPemPath, app + "/Contents/Resources/dev-ca.pem");
  }
  std::ofstream(app + "/Contents/Info.plist")
      << plist("<key>CFBundleIdentifier</key>" + plistString(kAppIdentifier) +
               "<key>CFBundleName</key>" + plistString("QV Test App") +
               "<key>CFBundleExecutable</key>" + plistString("TestApp") + deployment(caName));
  writeAppex(app + "/Contents/PlugIns/QvTestExtension.appex", kExtensionIdentifier, "QV Test",
             solidPng(16, 16, 0, 0, 255));
  if (withOther) {
    writeAppex(app + "/Contents/PlugIns/QvTestOther.appex", kOtherIdentifier, "QV Other",
               solidPng(16, 16, 0, 160, 0));
  }

  fs::create_directories(dataHome + "/safari-host/apps");
  std::ofstream(dataHome + "/safari-host/apps/" + std::string(kAppIdentifier) + ".json")
      << Json{{"bundlePath", app}}.dump();
  return app;
}

HostProcess::HostProcess() : HostProcess(Options{}) {}

HostProcess::HostProcess(Options options) : options_(std::move(options)) {
  std::filesystem::create_directories(configHome());
  std::filesystem::create_directories(dataHome());
  std::filesystem::create_directories(runtimeDir());
  chmod(runtimeDir().c_str(), 0700);
  if (options_.registerBundle) {
    TestBundle::create(root_.path(), dataHome(), options_.caPemPath, options_.otherExtension);
  }
  if (options_.enableExtension) {
    Json extensions = Json::object();
    extensions[TestBundle::kExtensionIdentifier] = Json{{"enabled", true}};
    if (options_.otherExtension) extensions[TestBundle::kOtherIdentifier] = Json{{"enabled", true}};
    root_.write("config/safari-host/extensions.json", Json{{"extensions", extensions}}.dump());
  }
}

HostProcess::~HostProcess() {
  if (pid_ <= 0) return;
  int status = quit();
  // A browser that crashes on the way out has failed too.
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "safari-host wait status " << status;
}

std::string HostProcess::socketPath() const {
  return runtimeDir() + "/safari-host-" + std::to_string(getuid()) + "/control.sock";
}

bool HostProcess::start() {
  std::vector<std::string> overrides = {
      "XDG_CONFIG_HOME=" + configHome(), "XDG_DATA_HOME=" + dataHome(),
      "XDG_RUNTIME_DIR=" + runtimeDir(), "XDG_CACHE_HOME=" + root_.path() + "/cache",
      "QV_TEST_EXTENSION_LOG=" + extensionLogPath()};
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string variable = *entry;
    std::string name = variable.substr(0, variable.find('='));
    bool replaced = false;
    for (const std::string& override : overrides) replaced |= override.rfind(name + "=", 0) == 0;
    if (!replaced) environment.push_back(variable);
  }
  environment.insert(environment.end(), overrides.begin(), overrides.end());
  std::vector<char*> envp;
  for (std::string& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);
  std::vector<std::string> arguments = {QV_SAFARI_HOST_PATH};
  arguments.insert(arguments.end(), options_.urls.begin(), options_.urls.end());
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) {
    ADD_FAILURE() << "cannot start " << QV_SAFARI_HOST_PATH;
    pid_ = -1;
    return false;
  }
  bool connected = waitUntil(
      [this] {
        if (!isRunning()) return true;
        control_ = ipc::Connection::connectUnix(socketPath(), {});
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
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

int HostProcess::quit() {
  if (pid_ <= 0) return -1;
  if (control_) {
    control_->callAndWait("automation.quit", Json::object(), 10s);
    control_->close();
    control_.reset();
  }
  int status = -1;
  bool exited = waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 20s);
  if (!exited) {
    ADD_FAILURE() << "safari-host did not quit; killing it";
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  return status;
}

ipc::Reply HostProcess::call(const std::string& method, const Json& args,
                             std::chrono::milliseconds timeout) {
  if (!control_) return ipc::Reply::failure(ipc::ErrorKind::NotSent, "not connected");
  return control_->callAndWait(method, args, timeout);
}

Json HostProcess::callOk(const std::string& method, const Json& args) {
  ipc::Reply reply = call(method, args);
  if (!reply.result) {
    ADD_FAILURE() << method << " " << args.dump()
                  << " failed: " << (reply.error ? reply.error->message : "?");
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
