#include "platform/linux/common/LinuxPlatform.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/linux/system/LinuxBundle.h"
#include "tests/support/HttpsTestServer.h"
#include "tests/support/TempDir.h"

namespace qv {
namespace {

std::string infoPlist(const std::string& deploymentEntries) {
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>CFBundleIdentifier</key><string>com.quorvane.safari</string>
  <key>QVDeployment</key><dict>)" +
         deploymentEntries + R"(</dict>
</dict></plist>
)";
}

// Runs one GET through the platform's session; the error text, or "" on a response.
std::string fetch(UrlSession& session, const std::string& url) {
  std::mutex mutex;
  std::condition_variable done;
  std::optional<UrlTaskResult> outcome;
  UrlRequest request;
  request.url = url;
  session.dataTask(request, [&](UrlTaskResult result) {
    std::lock_guard lock(mutex);
    outcome = std::move(result);
    done.notify_all();
  });
  std::unique_lock lock(mutex);
  if (!done.wait_for(lock, std::chrono::seconds(30), [&] { return outcome.has_value(); })) {
    return "no completion";
  }
  return outcome->error.value_or("");
}

class LinuxPlatformTest : public testing::Test {
 protected:
  test::TempDir home;
  test::ScopedEnv dataHome{"XDG_DATA_HOME", home.path() + "/data"};
  test::ScopedEnv configHome{"XDG_CONFIG_HOME", home.path() + "/config"};
  test::HttpsTestServer server;
};

TEST_F(LinuxPlatformTest, SessionTrustsTheBundlesDevelopmentAuthority) {
  server.handle("GET", "/", test::TestResponse{200, {}, "ok"});
  test::TempDir bundleDir;
  bundleDir.write("Dev.app/Contents/Info.plist",
                  infoPlist("<key>CACertificates</key><string>dev-ca.pem</string>"));
  std::string ca;
  {
    std::ifstream in(server.caPemPath());
    ca.assign(std::istreambuf_iterator<char>(in), {});
  }
  bundleDir.write("Dev.app/Contents/Resources/dev-ca.pem", ca);
  auto bundle = std::make_shared<LinuxBundle>(bundleDir.path() + "/Dev.app");
  EXPECT_EQ(deploymentCaCertificatesPath(*bundle),
            bundleDir.path() + "/Dev.app/Contents/Resources/dev-ca.pem");

  Platform platform = makeLinuxPlatform(bundle);
  ASSERT_TRUE(platform.mainBundle && platform.defaults && platform.urlSession &&
              platform.secretStore && platform.systemLog && platform.mainQueue && platform.clock &&
              platform.crypto);
  EXPECT_EQ(platform.mainBundle, bundle);
  EXPECT_TRUE(platform.mainQueue->isMainThread());
  EXPECT_EQ(fetch(*platform.urlSession, server.url("/")), "");
}

TEST_F(LinuxPlatformTest, ReleaseBundleTrustsOnlyTheSystem) {
  server.handle("GET", "/", test::TestResponse{200, {}, "ok"});
  test::TempDir bundleDir;
  bundleDir.write("Release.app/Contents/Info.plist",
                  infoPlist("<key>WebOrigin</key><string>https://www.quorvane.example</string>"));
  auto release = std::make_shared<LinuxBundle>(bundleDir.path() + "/Release.app");
  EXPECT_FALSE(deploymentCaCertificatesPath(*release).has_value());
  EXPECT_NE(fetch(*makeLinuxPlatform(release).urlSession, server.url("/")), "");

  // A named authority file that is missing leaves only the system authorities too.
  bundleDir.write("Broken.app/Contents/Info.plist",
                  infoPlist("<key>CACertificates</key><string>absent.pem</string>"));
  auto broken = std::make_shared<LinuxBundle>(bundleDir.path() + "/Broken.app");
  EXPECT_FALSE(deploymentCaCertificatesPath(*broken).has_value());
  test::ScopedEnv quiet("QV_SYSTEM_LOG_STDERR", "1");
  testing::internal::CaptureStderr();
  Platform platform = makeLinuxPlatform(broken);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("absent.pem"), std::string::npos);
  EXPECT_NE(fetch(*platform.urlSession, server.url("/")), "");
}

}  // namespace
}  // namespace qv
