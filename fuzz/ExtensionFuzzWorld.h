#pragma once

// The extension over fakes for its fuzz targets: one fresh world per input, so that no
// input depends on another.
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SafariExtension/BridgeFormats.h"
#include "SafariExtension/Env.h"
#include "SafariExtension/PageRegistry.h"
#include "SafariExtension/SafariExtensionViewController.h"
#include "platform/testing/FakeBrowser.h"
#include "platform/testing/FakeWebView.h"
#include "platform/testing/TestPlatform.h"

namespace qv::fuzzing {

// Keeps requests only until the fuzzer answers them; log records are dropped at once so
// that memory stays flat over millions of inputs.
class HeldUrlSession final : public UrlSession {
 public:
  void dataTask(UrlRequest request, Completion completion) override {
    if (request.url.ends_with("/logv2")) return;
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(completion));
  }
  void answerAll(const UrlTaskResult& result) {
    std::vector<Completion> pending;
    {
      std::lock_guard lock(mutex_);
      pending.swap(pending_);
    }
    for (auto& completion : pending) completion(result);
  }

 private:
  std::mutex mutex_;
  std::vector<Completion> pending_;
};

struct World {
  World() {
    fakes.bundle = std::make_shared<testing::FakeBundle>("/fake/Quorvane_Safari_Extension.appex");
    Json info = testing::TestPlatform::defaultInfoDictionary();
    info["CFBundleIdentifier"] = "com.quorvane.safari.ext";
    fakes.bundle->setInfoDictionary(info);
    fakes.bundle->addResource("clientInfo", "json", testing::TestPlatform::defaultClientInfo());
    fakes.bundle->addResource("Quorvane-bg", "js", "/* background */");
    fakes.bundle->addResource("bg_index", "html", "<html></html>");
    fakes.bundle->addResource("badge", "png", "PNG");
    fakes.bundle->addResource("Quorvane-popup", "js", "/* popup */");
    fakes.bundle->addResource("Quorvane-popup.styles", "css", "body {}");
    Platform platform = fakes.platform();
    platform.urlSession = urlSession;
    env = std::make_unique<Env>(platform);
    shared = std::make_shared<SharedViewController>(*env, ExtensionPlatform{browser, webViews},
                                                    registry);
    auto window = browser->addWindow();
    page = window->addTab("https://a.example/")->page();
  }

  testing::FakeWebView& view() { return *webViews->lastView(); }

  testing::TestPlatform fakes;
  std::shared_ptr<HeldUrlSession> urlSession = std::make_shared<HeldUrlSession>();
  std::unique_ptr<Env> env;
  std::shared_ptr<testing::FakeBrowser> browser = std::make_shared<testing::FakeBrowser>();
  std::shared_ptr<testing::FakeWebViewFactory> webViews =
      std::make_shared<testing::FakeWebViewFactory>(fakes.mainQueue);
  std::shared_ptr<PageRegistry> registry = std::make_shared<PageRegistry>();
  std::shared_ptr<SharedViewController> shared;
  std::shared_ptr<testing::FakePage> page;
};

// Whatever came in, every call evaluated in the background page is one of its calls
// with exactly one JSON text as its argument: outside text never runs as script.
inline void checkEvaluations(const testing::FakeWebView& view) {
  static constexpr std::string_view prefixes[] = {
      bridge::appMessagePrefix, bridge::activeTabChangedPrefix,
      bridge::receiveBlacklistConfigPrefix, bridge::oauthExchangePrefix};
  for (const std::string& call : view.evaluations()) {
    bool ok = false;
    for (std::string_view prefix : prefixes) {
      if (call.starts_with(prefix) && call.ends_with(")")) {
        std::string_view argument(call);
        argument = argument.substr(prefix.size(), argument.size() - prefix.size() - 1);
        ok = bridge::isOneJsonText(argument);
        break;
      }
    }
    if (!ok || view.offMainThreadCalls() != 0) std::abort();
  }
}

}  // namespace qv::fuzzing
