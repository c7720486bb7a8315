#pragma once

#include <memory>
#include <string>

namespace qv::test {

// Plain HTTP pages on 127.0.0.1 with an ephemeral port: /a ("Page A"), /b ("Page B") and
// /c ("Page C"); each sets a page-world variable and records what its own scripts could
// see (window.pageSecret, window.pageSawSafari). Serves from a background thread until
// destroyed; construction records a test failure when it does not start.
class TestWebServer {
 public:
  TestWebServer();
  ~TestWebServer();
  TestWebServer(const TestWebServer&) = delete;
  TestWebServer& operator=(const TestWebServer&) = delete;
  std::string url(const std::string& path) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qv::test
