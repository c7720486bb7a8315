#include "platform/linux/net/CurlUrlSession.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/HttpsTestServer.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using test::HttpsTestServer;
using test::RecordedRequest;
using test::TestResponse;

constexpr auto kDeadline = 30s;

// Collects completions; each records its result and the thread it ran on.
class Completions {
 public:
  struct Call {
    UrlTaskResult result;
    std::thread::id thread;
  };

  UrlSession::Completion make(std::string tag) {
    return [this, tag = std::move(tag)](UrlTaskResult result) {
      std::lock_guard lock(mutex_);
      calls_.emplace(tag, Call{std::move(result), std::this_thread::get_id()});
      changed_.notify_all();
    };
  }

  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return calls_.size() >= count; });
  }

  std::multimap<std::string, Call> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

  Call only(const std::string& tag) {
    std::lock_guard lock(mutex_);
    EXPECT_EQ(calls_.count(tag), 1u) << tag;
    auto found = calls_.find(tag);
    return found != calls_.end() ? found->second : Call{};
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::multimap<std::string, Call> calls_;
};

// A flag one thread sets and another waits for.
class Signal {
 public:
  void set() {
    std::lock_guard lock(mutex_);
    set_ = true;
    changed_.notify_all();
  }
  bool wait() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

// Has `server` answer GET `path` with `body` only once `signal` is set (or kDeadline
// passed); the signal must outlive the server.
void answerOnceSet(HttpsTestServer& server, const std::string& path, Signal& signal,
                   std::string body) {
  server.handle("GET", path, [&signal, body = std::move(body)](const RecordedRequest&) {
    signal.wait();
    return TestResponse{200, {}, body};
  });
}

UrlRequest get(std::string url) {
  UrlRequest request;
  request.url = std::move(url);
  return request;
}

std::vector<std::string> headerValues(const HttpResponse& response, const std::string& name) {
  std::vector<std::string> values;
  for (const auto& [key, value] : response.headers) {
    if (strcasecmp(key.c_str(), name.c_str()) == 0) values.push_back(value);
  }
  return values;
}

// A loopback port with nothing listening on it.
int closedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  close(fd);
  return ntohs(address.sin_port);
}

// A plain-HTTP listener on loopback that captures one request's bytes exactly as they
// arrived (the HTTPS test server parses headers into a map, losing order and empty
// values) and answers "200 ok".
class RawHttpCapture {
 public:
  RawHttpCapture() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener_, 4), 0);
    EXPECT_EQ(getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serveOne(); });
  }
  ~RawHttpCapture() {
    thread_.join();
    close(listener_);
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // The request head (request line and header lines, without the blank line).
  std::string head() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kDeadline, [&] { return done_; });
    return head_;
  }

 private:
  void serveOne() {
    pollfd waiting{listener_, POLLIN, 0};
    if (poll(&waiting, 1, 30000) != 1) return finish("");
    int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) return finish("");
    std::string received;
    char buffer[4096];
    while (received.find("\r\n\r\n") == std::string::npos) {
      pollfd readable{connection, POLLIN, 0};
      if (poll(&readable, 1, 30000) != 1) break;
      ssize_t count = read(connection, buffer, sizeof buffer);
      if (count <= 0) break;
      received.append(buffer, static_cast<std::size_t>(count));
    }
    const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
    EXPECT_EQ(write(connection, reply, sizeof reply - 1), static_cast<ssize_t>(sizeof reply - 1));
    close(connection);
    finish(received.substr(0, received.find("\r\n\r\n")));
  }

  void finish(std::string head) {
    std::lock_guard lock(mutex_);
    head_ = std::move(head);
    done_ = true;
    changed_.notify_all();
  }

  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  std::string head_;
};

TEST(CurlUrlSessionTest, SendsHeadersInOrderWithEmptyValuesAndNothingElse) {
  RawHttpCapture capture;
  CurlUrlSession session;
  Completions completions;
  UrlRequest request = get(capture.url("/raw?x=1"));
  request.headers = {{"X-B", "2"}, {"X-A", "1"}, {"X-Empty", ""}, {"X-B", "3"}};
  session.dataTask(request, completions.make("raw"));
  ASSERT_TRUE(completions.waitFor(1));
  EXPECT_EQ(completions.only("raw").result.data, toBytes("ok"));

  std::string port = capture.url("").substr(std::string("http://").size());
  EXPECT_EQ(capture.head(),
            "GET /raw?x=1 HTTP/1.1\r\n"
            "Host: " +
                port +
                "\r\n"
                "Accept: */*\r\n"
                "X-B: 2\r\n"
                "X-A: 1\r\n"
                "X-Empty:\r\n"
                "X-B: 3");
}

TEST(CurlUrlSessionTest, SendsExactlyTheRequestsMethodHeadersAndBody) {
  HttpsTestServer server;
  server.handle("POST", "/submit", TestResponse{201, {{"X-Reply", "yes"}}, "created"});
  server.handle("PUT", "/submit", TestResponse{200, {}, "put"});
  server.handle("DELETE", "/submit", TestResponse{204, {}, ""});
  server.handle("GET", "/submit", TestResponse{200, {}, "a body HEAD must not return"});
  CurlUrlSession session(server.caPemPath());
  Completions completions;

  // Large enough that curl would otherwise ask for "Expect: 100-continue".
  std::string body(2 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + 3);
  UrlRequest post;
  post.url = server.url("/submit?q=a%26b&x=1");
  post.method = "POST";
  post.headers = {{"X-First", "1"},
                  {"Content-Type", "application/octet-stream"},
                  {"X-Repeat", "a"},
                  {"X-Repeat", "b"}};
  post.body = toBytes(body);
  session.dataTask(post, completions.make("post"));

  UrlRequest put = get(server.url("/submit"));
  put.method = "PUT";
  put.body = toBytes("{\"k\":1}");
  session.dataTask(put, completions.make("put"));
  UrlRequest remove = get(server.url("/submit"));
  remove.method = "DELETE";
  session.dataTask(remove, completions.make("delete"));
  UrlRequest head = get(server.url("/submit"));
  head.method = "HEAD";
  session.dataTask(head, completions.make("head"));
  ASSERT_TRUE(completions.waitFor(4));

  auto postCall = completions.only("post");
  ASSERT_FALSE(postCall.result.error.has_value()) << *postCall.result.error;
  ASSERT_TRUE(postCall.result.response.has_value());
  EXPECT_EQ(postCall.result.response->statusCode, 201);
  EXPECT_EQ(postCall.result.response->url, post.url);
  EXPECT_EQ(headerValues(*postCall.result.response, "X-Reply"), std::vector<std::string>{"yes"});
  EXPECT_EQ(postCall.result.data, toBytes("created"));

  auto received = server.requests();
  ASSERT_EQ(received.size(), 4u);
  auto find = [&](const std::string& method) {
    auto found = std::find_if(received.begin(), received.end(),
                              [&](const RecordedRequest& r) { return r.method == method; });
    return found != received.end() ? *found : RecordedRequest{};
  };
  RecordedRequest arrived = find("POST");
  EXPECT_EQ(arrived.path, "/submit");
  EXPECT_EQ(arrived.query, "q=a%26b&x=1");
  EXPECT_EQ(arrived.body.size(), body.size());
  EXPECT_TRUE(arrived.body == body);
  EXPECT_EQ(arrived.header("x-first"), "1");
  EXPECT_EQ(arrived.header("content-type"), "application/octet-stream");
  EXPECT_EQ(arrived.headerCount("x-repeat"), 2u);
  std::set<std::string> names;
  for (const auto& header : arrived.headers) names.insert(header.first);
  // Nothing beyond what HTTP itself needs: no Expect, Cookie, User-Agent, Accept-Encoding.
  EXPECT_EQ(names, (std::set<std::string>{"host", "accept", "content-length", "content-type",
                                          "x-first", "x-repeat"}));

  RecordedRequest putArrived = find("PUT");
  EXPECT_EQ(putArrived.body, "{\"k\":1}");
  EXPECT_FALSE(putArrived.header("content-type").has_value());  // no form type made up
  EXPECT_EQ(find("DELETE").body, "");
  EXPECT_EQ(find("HEAD").path, "/submit");

  EXPECT_EQ(completions.only("put").result.data, toBytes("put"));
  EXPECT_EQ(completions.only("delete").result.response->statusCode, 204);
  auto headCall = completions.only("head");
  ASSERT_TRUE(headCall.result.response.has_value());
  EXPECT_EQ(headCall.result.response->statusCode, 200);
  EXPECT_EQ(headCall.result.data, Bytes());
}

TEST(CurlUrlSessionTest, ErrorStatusesAreResponsesWithTheirBodies) {
  HttpsTestServer server;
  server.handle("GET", "/ok", TestResponse{200, {}, "fine"});
  server.handle("GET", "/busy", TestResponse{503, {{"Retry-After", "5"}}, "try later"});
  CurlUrlSession session(server.caPemPath());
  Completions completions;
  session.dataTask(get(server.url("/ok")), completions.make("200"));
  session.dataTask(get(server.url("/unknown")), completions.make("404"));
  session.dataTask(get(server.url("/busy")), completions.make("503"));
  ASSERT_TRUE(completions.waitFor(3));

  for (auto [tag, body] : {std::pair{"200", "fine"}, {"404", "not found"}, {"503", "try later"}}) {
    auto call = completions.only(tag);
    EXPECT_FALSE(call.result.error.has_value()) << tag;
    ASSERT_TRUE(call.result.response.has_value()) << tag;
    EXPECT_EQ(std::to_string(call.result.response->statusCode), tag);
    EXPECT_EQ(call.result.data, toBytes(body)) << tag;
  }
  auto busy = completions.only("503").result.response;
  EXPECT_EQ(headerValues(*busy, "Retry-After"), std::vector<std::string>{"5"});
  EXPECT_EQ(headerValues(*busy, "Content-Type"), std::vector<std::string>{"text/plain"});
}

TEST(CurlUrlSessionTest, KeepsRepeatedSetCookieHeadersAndSendsNoCookies) {
  HttpsTestServer server;
  server.handle("GET", "/login",
                TestResponse{200,
                             {{"Set-Cookie", "session=abc; Path=/; Secure; HttpOnly"},
                              {"Set-Cookie", "theme=dark; Path=/"},
                              {"Set-Cookie", "lang=en"}},
                             "ok"});
  server.handle("GET", "/next", TestResponse{200, {}, "next"});
  CurlUrlSession session(server.caPemPath());
  Completions completions;
  session.dataTask(get(server.url("/login")), completions.make("login"));
  ASSERT_TRUE(completions.waitFor(1));
  session.dataTask(get(server.url("/next")), completions.make("next"));
  ASSERT_TRUE(completions.waitFor(2));

  auto login = completions.only("login").result.response;
  ASSERT_TRUE(login.has_value());
  EXPECT_EQ(headerValues(*login, "Set-Cookie"),
            (std::vector<std::string>{"session=abc; Path=/; Secure; HttpOnly", "theme=dark; Path=/",
                                      "lang=en"}));
  auto received = server.requests();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[1].path, "/next");
  EXPECT_FALSE(received[1].header("cookie").has_value());
}

TEST(CurlUrlSessionTest, FollowsRedirectsAndReportsTheFinalResponse) {
  HttpsTestServer server;
  server.handle("*", "/old",
                TestResponse{302, {{"Location", "/new"}, {"X-Hop", "first"}}, "moved"});
  server.handle("GET", "/new", TestResponse{200, {{"X-Hop", "final"}}, "arrived"});
  CurlUrlSession session(server.caPemPath());
  Completions completions;
  UrlRequest post = get(server.url("/old"));
  post.method = "POST";
  post.body = toBytes("form=1");
  session.dataTask(post, completions.make("post"));
  ASSERT_TRUE(completions.waitFor(1));

  auto call = completions.only("post");
  ASSERT_TRUE(call.result.response.has_value()) << call.result.error.value_or("");
  EXPECT_EQ(call.result.response->statusCode, 200);
  EXPECT_EQ(call.result.response->url, server.url("/new"));
  EXPECT_EQ(headerValues(*call.result.response, "X-Hop"), std::vector<std::string>{"final"});
  EXPECT_EQ(call.result.data, toBytes("arrived"));
  auto received = server.requests();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].method, "POST");
  // A 302 turns a POST into a GET, as browsers and Apple's URL loading do.
  EXPECT_EQ(received[1].method, "GET");
  EXPECT_EQ(received[1].path, "/new");
}

TEST(CurlUrlSessionTest, TransportFailuresGiveAnErrorAndNoResponse) {
  HttpsTestServer server;
  server.handle("GET", "/", TestResponse{200, {}, "hello"});
  CurlUrlSession trusting(server.caPemPath());
  CurlUrlSession systemOnly;
  Completions completions;

  trusting.dataTask(get("https://127.0.0.1:" + std::to_string(closedPort()) + "/"),
                    completions.make("refused"));
  systemOnly.dataTask(get(server.url("/")), completions.make("untrusted"));
  trusting.dataTask(get("ftp://127.0.0.1/file"), completions.make("ftp"));
  UrlRequest injected = get(server.url("/"));
  injected.headers = {{"X-Value", "a\r\nX-Injected: 1"}};
  trusting.dataTask(injected, completions.make("injected"));
  ASSERT_TRUE(completions.waitFor(4));

  for (const char* tag : {"refused", "untrusted", "ftp", "injected"}) {
    auto call = completions.only(tag);
    ASSERT_TRUE(call.result.error.has_value()) << tag;
    EXPECT_FALSE(call.result.error->empty()) << tag;
    EXPECT_FALSE(call.result.response.has_value()) << tag;
    EXPECT_FALSE(call.result.data.has_value()) << tag;
  }
  EXPECT_NE(completions.only("untrusted").result.error->find("certificate"), std::string::npos)
      << *completions.only("untrusted").result.error;
  // Neither the untrusted handshake nor the refused header produced a request.
  EXPECT_TRUE(server.requests().empty());
}

TEST(CurlUrlSessionTest, IdleTimeoutFailsTheTask) {
  Signal release;
  HttpsTestServer server;
  answerOnceSet(server, "/slow", release, "late");
  CurlUrlSession session(server.caPemPath());
  Completions completions;
  UrlRequest request = get(server.url("/slow"));
  request.timeout = 1s;
  session.dataTask(request, completions.make("slow"));
  bool finished = completions.waitFor(1);
  release.set();
  ASSERT_TRUE(finished);
  auto call = completions.only("slow");
  EXPECT_TRUE(call.result.error.has_value());
  EXPECT_FALSE(call.result.response.has_value());
}

TEST(CurlUrlSessionTest, CompletionsRunOnceOnTheWorkerThread) {
  HttpsTestServer server;
  server.handle("GET", "/echo", [](const RecordedRequest& request) {
    return TestResponse{200, {}, request.query};
  });
  CurlUrlSession session(server.caPemPath());
  Completions completions;

  constexpr int kThreads = 4;
  constexpr int kPerThread = 15;
  std::vector<std::thread> submitters;
  for (int t = 0; t < kThreads; ++t) {
    submitters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        std::string id = std::to_string(t * kPerThread + i);
        session.dataTask(get(server.url("/echo?" + id)), completions.make(id));
      }
    });
  }
  for (auto& submitter : submitters) submitter.join();
  ASSERT_TRUE(completions.waitFor(kThreads * kPerThread));

  auto calls = completions.calls();
  EXPECT_EQ(calls.size(), static_cast<std::size_t>(kThreads * kPerThread));
  std::set<std::thread::id> threads;
  for (const auto& [id, call] : calls) {
    EXPECT_EQ(calls.count(id), 1u) << id;
    ASSERT_TRUE(call.result.response.has_value()) << id << ": " << call.result.error.value_or("");
    EXPECT_EQ(call.result.data, toBytes(id));
    threads.insert(call.thread);
  }
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
  EXPECT_EQ(server.requests().size(), static_cast<std::size_t>(kThreads * kPerThread));
}

TEST(CurlUrlSessionTest, DestructionCancelsOutstandingTasks) {
  Signal release;
  HttpsTestServer server;
  answerOnceSet(server, "/hang", release, "too late");
  Completions completions;
  {
    CurlUrlSession session(server.caPemPath());
    session.dataTask(get(server.url("/hang")), completions.make("inflight"));
    ASSERT_TRUE(server.waitForRequests(1, kDeadline));
  }
  // Before the destructor returned, the task completed as cancelled.
  auto calls = completions.calls();
  release.set();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls.begin()->second.result.error, "cancelled");
  EXPECT_FALSE(calls.begin()->second.result.response.has_value());
}

// Sets a signal when the object (held by a completion) is destroyed.
class SetOnDestruction {
 public:
  explicit SetOnDestruction(Signal* signal) : signal_(signal) {}
  ~SetOnDestruction() { signal_->set(); }
  SetOnDestruction(const SetOnDestruction&) = delete;
  SetOnDestruction& operator=(const SetOnDestruction&) = delete;

 private:
  Signal* signal_;
};

TEST(CurlUrlSessionTest, MayBeDestroyedFromItsOwnCompletion) {
  Signal testDroppedItsReference;
  Signal serverMayFinish;
  HttpsTestServer server;
  answerOnceSet(server, "/first", testDroppedItsReference, "bye");
  answerOnceSet(server, "/second", serverMayFinish, "never seen");
  auto session = std::make_shared<CurlUrlSession>(server.caPemPath());
  Signal firstDone;
  Signal secondDestroyed;
  std::atomic<bool> secondCalled{false};
  // The first completion holds the last reference, so the session dies on its worker
  // thread; the second task is still outstanding then and is dropped.
  session->dataTask(get(server.url("/first")), [&, keep = session](UrlTaskResult) mutable {
    keep.reset();
    firstDone.set();
  });
  auto probe = std::make_shared<SetOnDestruction>(&secondDestroyed);
  session->dataTask(get(server.url("/second")),
                    [&, probe = std::move(probe)](UrlTaskResult) { secondCalled = true; });
  ASSERT_TRUE(server.waitForRequests(2, kDeadline));
  session.reset();
  testDroppedItsReference.set();

  EXPECT_TRUE(firstDone.wait());
  EXPECT_TRUE(secondDestroyed.wait());
  EXPECT_FALSE(secondCalled.load());
  serverMayFinish.set();
}

}  // namespace
}  // namespace qv
