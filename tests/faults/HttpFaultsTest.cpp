// Servers that misbehave: one that trickles its answer forever, one whose body never
// ends, one that redirects a secure request to plain http, one that redirects in a loop.
// Every request fails within its limit and the session goes on serving the next one.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/net/CurlUrlSession.h"
#include "tests/faults/FaultReport.h"
#include "platform/linux/system/UniqueFd.h"
#include "tests/support/HttpsTestServer.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A plain-HTTP listener on 127.0.0.1 that reads each request head and hands the
// connection to `serve`, one thread per connection, until it is destroyed.
class MisbehavingServer {
 public:
  using Serve = std::function<void(int fd, const std::atomic<bool>& stopping)>;

  explicit MisbehavingServer(Serve serve)
      : serve_(std::move(serve)), listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_.get(), 8), 0);
    EXPECT_EQ(::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptAll(); });
  }
  ~MisbehavingServer() {
    stopping_ = true;
    acceptor_.join();
    for (std::thread& thread : connections_) thread.join();
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  int connections() const { return accepted_.load(); }

 private:
  void acceptAll() {
    while (!stopping_) {
      pollfd waiting{listener_.get(), POLLIN, 0};
      if (::poll(&waiting, 1, 50) != 1) continue;
      int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++accepted_;
      connections_.emplace_back([this, fd] {
        readHead(fd);
        serve_(fd, stopping_);
        ::close(fd);
      });
    }
  }
  static void readHead(int fd) {
    std::string received;
    char buffer[4096];
    while (received.find("\r\n\r\n") == std::string::npos) {
      pollfd readable{fd, POLLIN, 0};
      if (::poll(&readable, 1, 5000) != 1) return;
      ssize_t count = ::read(fd, buffer, sizeof buffer);
      if (count <= 0) return;
      received.append(buffer, static_cast<std::size_t>(count));
    }
  }

  Serve serve_;
  UniqueFd listener_;
  int port_ = 0;
  std::atomic<bool> stopping_ = false;
  std::atomic<int> accepted_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> connections_;  // acceptor thread only, until joined
};

bool writeText(int fd, const std::string& text) {
  return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// Runs one GET through `session` and waits for its completion.
UrlTaskResult fetch(UrlSession& session, const std::string& url,
                    std::chrono::seconds idleTimeout = 0s) {
  std::mutex mutex;
  std::condition_variable done;
  std::optional<UrlTaskResult> result;
  UrlRequest request;
  request.url = url;
  request.timeout = idleTimeout;
  session.dataTask(request, [&](UrlTaskResult got) {
    std::lock_guard lock(mutex);
    result = std::move(got);
    done.notify_all();
  });
  std::unique_lock lock(mutex);
  done.wait_for(lock, 90s, [&] { return result.has_value(); });
  return result.value_or(UrlTaskResult{});
}

// The session still works: a plain request right after the fault succeeds.
bool stillServes(UrlSession& session, HttpsTestServer& server) {
  UrlTaskResult result = fetch(session, server.url("/fine"));
  return result.response && result.response->statusCode == 200 && result.data == toBytes("fine");
}

class HttpFaults : public ::testing::Test {
 protected:
  void SetUp() override { healthy.handle("GET", "/fine", TestResponse{200, {}, "fine"}); }
  HttpsTestServer healthy;
};

TEST_F(HttpFaults, AServerThatTricklesForeverIsCutOffAtTheTotalTimeLimit) {
  // A byte every 200 ms: never idle, never done.
  MisbehavingServer trickle([](int fd, const std::atomic<bool>& stopping) {
    if (!writeText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n")) return;
    while (!stopping && writeText(fd, "x")) std::this_thread::sleep_for(200ms);
  });
  HttpLimits limits;
  limits.totalTime = 2s;  // the default, 60 s, is too long for a test
  CurlUrlSession session(healthy.caPemPath(), limits);
  Clock::time_point start = Clock::now();
  UrlTaskResult result = fetch(session, trickle.url("/slow"), /*idleTimeout=*/1s);
  auto took = Clock::now() - start;
  ASSERT_TRUE(result.error) << "a request that never finishes fails";
  EXPECT_FALSE(result.response);
  // curl starts its clock a moment after ours, and its timers round: allow for both.
  EXPECT_GE(took, limits.totalTime - 50ms) << "not cut off before its limit";
  EXPECT_LT(took, 5s) << "cut off at its limit";
  bool serves = stillServes(session, healthy);
  EXPECT_TRUE(serves);
  reportFault("HTTP server trickles forever", result.error && took < 5s && serves,
              "that request, failed after " + std::to_string(limits.totalTime.count()) + " ms");
}

TEST_F(HttpFaults, AnEndlessBodyFailsAtSixteenMebibytes) {
  MisbehavingServer endless([](int fd, const std::atomic<bool>& stopping) {
    if (!writeText(fd, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")) return;
    const std::string chunk(64 * 1024, 'z');
    while (!stopping && writeText(fd, chunk)) {
    }
  });
  // And one that says up front that its body is a gibibyte.
  MisbehavingServer announced([](int fd, const std::atomic<bool>&) {
    writeText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1073741824\r\n\r\nstart");
  });
  CurlUrlSession session(healthy.caPemPath());
  for (MisbehavingServer* server : {&endless, &announced}) {
    UrlTaskResult result = fetch(session, server->url("/huge"));
    ASSERT_TRUE(result.error);
    EXPECT_EQ(*result.error, "the response body is larger than 16 MiB");
    EXPECT_FALSE(result.data) << "nothing of it is handed on";
  }
  bool serves = stillServes(session, healthy);
  EXPECT_TRUE(serves);
  reportFault("HTTP body never ends", serves, "that response, failed at 16 MiB");
}

TEST_F(HttpFaults, RedirectsNeverLeaveHttpsAndStopAfterTen) {
  MisbehavingServer plain([](int fd, const std::atomic<bool>&) {
    writeText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nleaked");
  });
  healthy.handle("GET", "/downgrade", TestResponse{302, {{"Location", plain.url("/")}}, ""});
  healthy.handle("GET", "/loop", TestResponse{302, {{"Location", "/loop"}}, ""});
  // Plain http may still move up to https.
  MisbehavingServer upgrade([&](int fd, const std::atomic<bool>&) {
    writeText(fd, "HTTP/1.1 302 Found\r\nLocation: " + healthy.url("/fine") +
                      "\r\nContent-Length: 0\r\n\r\n");
  });
  CurlUrlSession session(healthy.caPemPath());

  UrlTaskResult downgraded = fetch(session, healthy.url("/downgrade"));
  ASSERT_TRUE(downgraded.error);
  EXPECT_EQ(*downgraded.error, "refused a redirect from https to another scheme");
  EXPECT_EQ(plain.connections(), 0) << "the plain server was never contacted";

  healthy.clearRequests();
  UrlTaskResult looped = fetch(session, healthy.url("/loop"));
  ASSERT_TRUE(looped.error);
  EXPECT_EQ(healthy.requests().size(), 11u) << "the first request and ten redirects";

  UrlTaskResult upgraded = fetch(session, upgrade.url("/"));
  ASSERT_TRUE(upgraded.response) << upgraded.error.value_or("");
  EXPECT_EQ(upgraded.data, toBytes("fine"));
  reportFault("HTTPS redirected to http, and in a loop", plain.connections() == 0 && looped.error,
              "nothing: both refused");
}

}  // namespace
}  // namespace qv::test
