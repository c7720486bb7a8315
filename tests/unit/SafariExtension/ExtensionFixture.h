#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SafariExtension/Env.h"
#include "SafariExtension/ExtensionHooks.h"
#include "SafariExtension/ExtensionPlatform.h"
#include "SafariExtension/PageRegistry.h"
#include "SafariExtension/SafariExtensionViewController.h"
#include "platform/testing/FakeBrowser.h"
#include "platform/testing/FakeWebView.h"
#include "platform/testing/TestPlatform.h"

namespace qv::testing {

// One record that reached the remote log.
struct Logged {
  std::string logger;  // without the "native." prefix
  std::string level;
  std::optional<std::string> message;

  bool operator==(const Logged&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const Logged& logged) {
    return out << logged.logger << " " << logged.level << " " << logged.message.value_or("<none>");
  }
};

inline Logged error(std::string logger, std::string message) {
  return Logged{std::move(logger), "ERROR", std::move(message)};
}

inline Logged warning(std::string logger, std::string message) {
  return Logged{std::move(logger), "WARN", std::move(message)};
}

// Records what reaches the sign-in hooks, and whether any call came off the main thread.
class RecordingSignInFlow final : public SignInFlow {
 public:
  explicit RecordingSignInFlow(const MainQueue& queue) : queue_(queue) {}
  void beginOAuth(bool forceNewWindow) override { record(forceNewWindow ? "begin new" : "begin"); }
  void closeLoginTab() override { record("close"); }
  void oauthExchangeFromRedirectUrl(const std::optional<std::string>& url) override {
    record("exchange " + url.value_or("<none>"));
  }
  void oauthComplete(const std::optional<std::string>& error) override {
    record("complete " + error.value_or("<none>"));
  }

  std::vector<std::string> calls;
  bool offMainThread = false;

 private:
  void record(std::string call) {
    offMainThread = offMainThread || !queue_.isMainThread();
    calls.push_back(std::move(call));
  }
  const MainQueue& queue_;
};

class RecordingSettingsPopup final : public SettingsPopup {
 public:
  void install(PopoverViewController& popover) override { installedIn = &popover; }
  void uninstall() override { installedIn = nullptr; }
  void sendToSettingsPopup(const std::string& name, const std::optional<Json>& data) override {
    received.push_back({"", name, data});
  }
  std::vector<DispatchedMessage> received;
  PopoverViewController* installedIn = nullptr;
};

// Turns the test platform's bundle into the extension's bundle, with the background
// page's and the settings popup's resources except those named in `omit`
// ("Quorvane-bg.js", "bg_index.html", "Quorvane-popup.js", "Quorvane-popup.styles.css").
inline void useExtensionBundle(TestPlatform& fakes, const std::vector<std::string>& omit = {}) {
  fakes.bundle = std::make_shared<FakeBundle>(
      "/fake/Quorvane_for_Safari.app/Contents/PlugIns/Quorvane_Safari_Extension.appex");
  Json info = TestPlatform::defaultInfoDictionary();
  info["CFBundleIdentifier"] = "com.quorvane.safari.ext";
  info["CFBundleName"] = "Quorvane Safari Extension";
  fakes.bundle->setInfoDictionary(info);
  fakes.bundle->addResource("clientInfo", "json", TestPlatform::defaultClientInfo());
  auto omitted = [&](const char* file) {
    return std::find(omit.begin(), omit.end(), file) != omit.end();
  };
  if (!omitted("Quorvane-bg.js")) {
    fakes.bundle->addResource("Quorvane-bg", "js", "/* background script */");
  }
  if (!omitted("bg_index.html")) {
    fakes.bundle->addResource("bg_index", "html", "<html><body>bg</body></html>");
  }
  if (!omitted("Quorvane-popup.js")) {
    fakes.bundle->addResource("Quorvane-popup", "js", "/* popup script */");
  }
  if (!omitted("Quorvane-popup.styles.css")) {
    fakes.bundle->addResource("Quorvane-popup.styles", "css", ".popup { color: red; }");
  }
}

// The extension's world over fakes: an extension bundle with the background page's
// resources, its environment, a browser, web views and an empty page registry.
class ExtensionFixture : public ::testing::Test {
 protected:
  ExtensionFixture() {
    useExtensionBundle(fakes);
    env = std::make_unique<Env>(fakes.platform());
  }

  ExtensionPlatform extensionPlatform() const { return ExtensionPlatform{browser, webViews}; }

  // Builds the host directly (main thread) and returns its web view.
  FakeWebView& makeHost(BackgroundPageHooks hooks = {}) {
    host = std::make_unique<SafariExtensionViewController>(*env, extensionPlatform(), registry,
                                                           std::move(hooks));
    return *webViews->lastView();
  }

  // Everything sent to the remote log, oldest first.
  std::vector<Logged> logs() const {
    std::vector<Logged> records;
    for (const UrlRequest& request : fakes.urlSession->requests()) {
      if (!request.url.ends_with("/logv2") || !request.body) continue;
      Json record = Json::parse(qv::toString(*request.body));
      std::string logger = record["logger"];
      EXPECT_TRUE(logger.starts_with("native.")) << logger;
      std::optional<std::string> message;
      if (record.contains("message")) message = record["message"].get<std::string>();
      records.push_back({logger.substr(7), record["level"], message});
    }
    return records;
  }

  // Requests that are not log records.
  std::vector<UrlRequest> fetches() const {
    std::vector<UrlRequest> result;
    for (const UrlRequest& request : fakes.urlSession->requests()) {
      if (!request.url.ends_with("/logv2")) result.push_back(request);
    }
    return result;
  }

  TestPlatform fakes;
  std::unique_ptr<Env> env;
  std::shared_ptr<FakeBrowser> browser = std::make_shared<FakeBrowser>();
  std::shared_ptr<FakeWebViewFactory> webViews =
      std::make_shared<FakeWebViewFactory>(fakes.mainQueue);
  std::shared_ptr<PageRegistry> registry = std::make_shared<PageRegistry>();
  std::unique_ptr<SafariExtensionViewController> host;
};

// A message as a content script sends it: from page `pageId`, with `data` when not null.
inline Json envelope(const std::string& pageId, Json data = nullptr) {
  Json message{{"meta", {{"srcPageId", pageId}}}};
  if (!data.is_null()) message["data"] = std::move(data);
  return message;
}

// The extension's world with one window whose tab shows https://a.example/, and what the
// handler and the router are built with besides: the shared host and the sign-in flow.
class PageFixture : public ExtensionFixture {
 protected:
  PageFixture() {
    window = browser->addWindow();
    page = window->addTab("https://a.example/")->page();
  }

  std::shared_ptr<SharedViewController> shared =
      std::make_shared<SharedViewController>(*env, extensionPlatform(), registry);
  std::shared_ptr<RecordingSignInFlow> signIn =
      std::make_shared<RecordingSignInFlow>(*fakes.mainQueue);
  std::shared_ptr<FakeWindow> window;
  std::shared_ptr<FakePage> page;
};

}  // namespace qv::testing
