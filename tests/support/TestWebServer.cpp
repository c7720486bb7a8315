#include "tests/support/TestWebServer.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <cctype>
#include <thread>

#include "tests/support/Wait.h"

namespace qv::test {
namespace {

std::string pageHtml(const std::string& letter) {
  return "<!doctype html><html><head><title>Page " + letter +
         "</title></head><body><p>This is page " + letter +
         ".</p><script>window.pageSecret = 42; window.pageSawSafari = typeof safari;"
         "</script></body></html>";
}

}  // namespace

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
  EXPECT_TRUE(waitUntil([this] { return impl_->server.is_running(); }, std::chrono::seconds(10)));
}

TestWebServer::~TestWebServer() {
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

std::string TestWebServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(impl_->port) + path;
}

}  // namespace qv::test
