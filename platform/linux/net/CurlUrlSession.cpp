#include "platform/linux/net/CurlUrlSession.h"

#include <curl/curl.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "platform/CHandle.h"

namespace qv {
namespace {

constexpr const char* kSystemCaBundle = "/etc/ssl/certs/ca-certificates.crt";
// Apple's default httpMaximumConnectionsPerHost; further requests wait for a connection.
constexpr long kMaxConnectionsPerHost = 6;
constexpr const char* kCancelled = "cancelled";

void ensureCurlInitialized() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The workers of sessions destroyed from their own completion cannot join themselves.
// They are joined when the process exits instead of being detached: a detached worker
// could still be in OpenSSL's thread clean-up while OpenSSL's exit handler frees the
// locks it uses. That handler was registered by curl_global_init, before this object
// exists, so it runs after this destructor.
class OrphanedWorkers {
 public:
  static OrphanedWorkers& instance() {
    static OrphanedWorkers workers;
    return workers;
  }
  void adopt(std::thread worker) {
    std::lock_guard lock(mutex_);
    workers_.push_back(std::move(worker));
  }
  ~OrphanedWorkers() {
    std::lock_guard lock(mutex_);
    for (std::thread& worker : workers_) worker.join();
  }

 private:
  std::mutex mutex_;
  std::vector<std::thread> workers_;
};

using EasyPtr = CHandle<CURL, curl_easy_cleanup>;
using MultiPtr = CHandle<CURLM, curl_multi_cleanup>;
using SlistPtr = CHandle<curl_slist, curl_slist_free_all>;

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream contents;
  contents << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(contents).str();
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// An HTTP token: what a method or a header name may consist of.
bool isToken(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f) return false;
    if (std::string_view("\"(),/:;<=>?@[\\]{}").find(c) != std::string_view::npos) return false;
  }
  return true;
}

bool isSafeHeaderValue(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// One request from dataTask() to its completion.
struct Transfer {
  UrlRequest request;
  UrlSession::Completion completion;
  EasyPtr easy;
  SlistPtr headerList;
  Bytes responseBody;
  std::size_t maxBodyBytes = 0;
  bool bodyTooLarge = false;
  bool startedSecure = false;
  std::array<char, CURL_ERROR_SIZE> errorBuffer{};
};

size_t appendBody(char* data, size_t size, size_t count, void* userData) {
  auto* transfer = static_cast<Transfer*>(userData);
  if (count > transfer->maxBodyBytes - transfer->responseBody.size()) {
    transfer->bodyTooLarge = true;
    return 0;  // curl stops the transfer
  }
  transfer->responseBody.insert(transfer->responseBody.end(), data, data + size * count);
  return size * count;
}

UrlTaskResult failure(std::string text) {
  UrlTaskResult result;
  result.error = std::move(text);
  return result;
}

// Turns the request into curl options; an error text when it cannot be sent.
std::optional<std::string> configure(Transfer& transfer, const std::string& caBlob,
                                     const CurlUrlSession::Limits& limits) {
  const UrlRequest& request = transfer.request;
  if (!isToken(request.method)) return "invalid HTTP method";
  transfer.startedSecure = request.url.size() >= 8 && equalsIgnoringCase(request.url.substr(0, 8), "https://");

  transfer.easy.reset(curl_easy_init());
  CURL* easy = transfer.easy.get();
  if (easy == nullptr) return "could not create an HTTP transfer";

  bool hasContentType = false;
  bool hasExpect = false;
  auto append = [&](const std::string& line) {
    // Returns the list's head, which is the new node only for the first line.
    curl_slist* head = curl_slist_append(transfer.headerList.get(), line.c_str());
    if (head == nullptr) return false;
    if (!transfer.headerList) transfer.headerList.reset(head);
    return true;
  };
  for (const auto& [name, value] : request.headers) {
    if (!isToken(name) || !isSafeHeaderValue(value)) return "invalid HTTP header field";
    hasContentType = hasContentType || equalsIgnoringCase(name, "Content-Type");
    hasExpect = hasExpect || equalsIgnoringCase(name, "Expect");
    // "Name:" would tell curl to drop the header; "Name;" sends it with an empty value.
    if (!append(value.empty() ? name + ";" : name + ": " + value)) return "out of memory";
  }
  // curl adds these on its own; the request says exactly what is sent.
  if (!hasExpect && !append("Expect:")) return "out of memory";
  if (!hasContentType && !append("Content-Type:")) return "out of memory";

  curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorBuffer.data());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  if (curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str()) != CURLE_OK) return "invalid URL";
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  // A secure request stays secure: a redirect may not hand it to plain http.
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR,
                   transfer.startedSecure ? "https" : "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, limits.maxRedirects);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.totalTime.count()));
  // Fails early when the server announces a larger body; appendBody() catches the rest.
  transfer.maxBodyBytes = limits.maxBodyBytes;
  curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                   static_cast<curl_off_t>(limits.maxBodyBytes));
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headerList.get());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, appendBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);

  // Plain POST (not a custom method) so that 301/302/303 redirects continue as GET.
  static const char kEmpty[] = "";
  const Bytes* body = request.body ? &*request.body : nullptr;
  if (request.method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (request.method == "GET" && body == nullptr) {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  } else {
    if (request.method == "POST" || body != nullptr) {
      curl_easy_setopt(easy, CURLOPT_POST, 1L);
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(body != nullptr ? body->size() : 0));
      curl_easy_setopt(
          easy, CURLOPT_POSTFIELDS,
          body != nullptr && !body->empty() ? reinterpret_cast<const char*>(body->data()) : kEmpty);
    }
    if (request.method != "POST") {
      curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
  }

  if (request.timeout.count() > 0) {
    long seconds = static_cast<long>(request.timeout.count());
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, seconds);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, seconds);
  }

  if (!caBlob.empty()) {
    curl_blob blob{const_cast<char*>(caBlob.data()), caBlob.size(), CURL_BLOB_NOCOPY};
    curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
  }
  return std::nullopt;
}

UrlTaskResult resultOf(Transfer& transfer, CURLcode code) {
  CURL* easy = transfer.easy.get();
  if (transfer.bodyTooLarge || code == CURLE_FILESIZE_EXCEEDED) {
    return failure("the response body is larger than " +
                   std::to_string(transfer.maxBodyBytes / (1024 * 1024)) + " MiB");
  }
  if (code == CURLE_UNSUPPORTED_PROTOCOL && transfer.startedSecure) {
    return failure("refused a redirect from https to another scheme");
  }
  if (code != CURLE_OK) {
    std::string text = transfer.errorBuffer.data();
    return failure(text.empty() ? curl_easy_strerror(code) : text);
  }
  HttpResponse response;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &response.statusCode);
  const char* effectiveUrl = nullptr;
  curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effectiveUrl);
  response.url = effectiveUrl != nullptr ? effectiveUrl : transfer.request.url;
  // Request -1 is the last one of a redirect chain; CURLH_HEADER leaves out 1xx,
  // CONNECT and trailer headers.
  curl_header* previous = nullptr;
  while (curl_header* header = curl_easy_nextheader(easy, CURLH_HEADER, -1, previous)) {
    response.headers.emplace_back(header->name, header->value);
    previous = header;
  }
  UrlTaskResult result;
  result.response = std::move(response);
  result.data = std::move(transfer.responseBody);
  return result;
}

}  // namespace

struct CurlUrlSession::Engine {
  MultiPtr multi;
  std::string caBlob;  // immutable once the worker runs
  Limits limits;       // likewise

  std::mutex mutex;
  std::deque<std::unique_ptr<Transfer>> pending;  // guarded by mutex
  bool stopping = false;                          // guarded by mutex
  bool dropOutstanding = false;                   // guarded by mutex

  // Worker thread only.
  std::unordered_map<CURL*, std::unique_ptr<Transfer>> active;

  bool shouldDrop() {
    std::lock_guard lock(mutex);
    return dropOutstanding;
  }

  void complete(Transfer& transfer, UrlTaskResult result) {
    auto completion = std::move(transfer.completion);
    transfer.completion = nullptr;
    completion(std::move(result));
  }

  void start(std::unique_ptr<Transfer> transfer) {
    if (auto error = configure(*transfer, caBlob, limits)) {
      complete(*transfer, failure(*error));
      return;
    }
    CURL* easy = transfer->easy.get();
    if (curl_multi_add_handle(multi.get(), easy) != CURLM_OK) {
      complete(*transfer, failure("could not start the HTTP transfer"));
      return;
    }
    active.emplace(easy, std::move(transfer));
  }

  void finishDone() {
    std::vector<std::pair<std::unique_ptr<Transfer>, CURLcode>> done;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      CURLcode code = message->data.result;
      auto node = active.extract(easy);
      curl_multi_remove_handle(multi.get(), easy);
      if (!node.empty()) done.emplace_back(std::move(node.mapped()), code);
    }
    for (auto& [transfer, code] : done) {
      // A completion may have destroyed the session: the rest are dropped then.
      if (shouldDrop()) return;
      complete(*transfer, resultOf(*transfer, code));
    }
  }

  void run() {
    while (true) {
      std::deque<std::unique_ptr<Transfer>> incoming;
      {
        std::lock_guard lock(mutex);
        if (stopping) break;
        incoming.swap(pending);
      }
      for (auto& transfer : incoming) {
        if (shouldDrop()) break;
        start(std::move(transfer));
      }
      int running = 0;
      curl_multi_perform(multi.get(), &running);
      finishDone();
      // Returns on socket activity, curl's own timers, or curl_multi_wakeup() (a new
      // request, or stopping). The time-out is only a safety net: with nothing in flight
      // it is long, so that an idle session does not wake its thread every second.
      curl_multi_poll(multi.get(), nullptr, 0, active.empty() ? 60'000 : 1000, nullptr);
    }
    shutDown();
  }

  void shutDown() {
    std::vector<std::unique_ptr<Transfer>> outstanding;
    for (auto& [easy, transfer] : active) {
      curl_multi_remove_handle(multi.get(), easy);
      outstanding.push_back(std::move(transfer));
    }
    active.clear();
    bool drop = false;
    {
      std::lock_guard lock(mutex);
      for (auto& transfer : pending) outstanding.push_back(std::move(transfer));
      pending.clear();
      drop = dropOutstanding;
    }
    for (auto& transfer : outstanding) {
      if (drop || shouldDrop()) break;
      complete(*transfer, failure(kCancelled));
    }
  }
};

CurlUrlSession::CurlUrlSession(std::optional<std::string> extraCaPemPath, Limits limits)
    : engine_(std::make_shared<Engine>()) {
  ensureCurlInitialized();
  engine_->limits = limits;
  engine_->multi.reset(curl_multi_init());
  if (!engine_->multi) {
    std::fputs("CurlUrlSession: curl_multi_init failed\n", stderr);
    std::abort();
  }
  curl_multi_setopt(engine_->multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, kMaxConnectionsPerHost);
  if (extraCaPemPath) {
    // One blob replaces curl's default bundle, so it carries the system authorities too.
    if (auto extra = readFile(*extraCaPemPath)) {
      std::string blob = readFile(kSystemCaBundle).value_or("");
      if (!blob.empty() && blob.back() != '\n') blob += '\n';
      engine_->caBlob = blob + *extra;
    }
  }
  try {
    worker_ = std::thread([engine = engine_] { engine->run(); });
  } catch (const std::system_error& error) {
    std::fprintf(stderr, "CurlUrlSession: cannot start its worker thread: %s\n", error.what());
    std::abort();
  }
}

CurlUrlSession::~CurlUrlSession() {
  bool onWorker = std::this_thread::get_id() == worker_.get_id();
  {
    std::lock_guard lock(engine_->mutex);
    engine_->stopping = true;
    engine_->dropOutstanding = onWorker;
  }
  curl_multi_wakeup(engine_->multi.get());
  if (onWorker) {
    OrphanedWorkers::instance().adopt(std::move(worker_));  // it keeps the engine alive
  } else {
    worker_.join();
  }
}

void CurlUrlSession::dataTask(UrlRequest request, Completion completion) {
  auto transfer = std::make_unique<Transfer>();
  transfer->request = std::move(request);
  transfer->completion = std::move(completion);
  {
    std::lock_guard lock(engine_->mutex);
    if (engine_->stopping) return;  // shutting down: the task is dropped
    engine_->pending.push_back(std::move(transfer));
  }
  curl_multi_wakeup(engine_->multi.get());
}

}  // namespace qv
