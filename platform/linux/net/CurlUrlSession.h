#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/UrlSession.h"

namespace qv {

// How much a CurlUrlSession lets one request take.
struct HttpLimits {
  std::size_t maxBodyBytes = 16 * 1024 * 1024;
  std::chrono::milliseconds totalTime = std::chrono::seconds(60);
  long maxRedirects = 10;
};

// UrlSession over libcurl's multi interface, driven by one worker thread that the
// session owns.
//
// - At most 6 connections per host, as on Apple platforms; more requests queue.
// - HTTP and HTTPS only (also on redirects); redirects are followed, up to 10, as
//   Apple's URL loading system does (301/302/303 turn a POST into a GET), but never
//   from https to http.
// - Bounded: a response body over 16 MiB, or a request (redirects included) that takes
//   more than 60 s in all, fails the task.
// - Exactly the request's headers are sent, in order, plus Host, Accept and
//   Content-Length where HTTP needs them; curl's `Expect: 100-continue` and default
//   form Content-Type are suppressed. No cookie engine, no cache.
// - A request whose header name or value holds CR, LF or NUL (or a name holding ':' or
//   space) is not sent: it completes with an error.
// - `timeout` is an idle timeout, as on Apple platforms: connecting, or a stretch with
//   no bytes moving, longer than that fails the task. Zero means no limit.
// - The response carries the status, the URL that answered and every header of the
//   final response in arrival order; the body comes as `data` (empty when none).
// - A transport failure gives `error` = curl's description and neither response nor
//   data.
//
// Completions run on the worker thread, one at a time; a slow completion delays the
// others. Destruction stops the worker: tasks still queued or in flight complete with
// the error "cancelled" on the worker thread before the destructor returns, and no
// completion runs after it returns. If the session is destroyed from inside one of its
// own completions, the remaining tasks are dropped (their completions are destroyed
// without being called), and so is a task submitted while the session shuts down (from
// a "cancelled" completion, say). dataTask() must not race with the destructor.
class CurlUrlSession final : public UrlSession {
 public:
  using Limits = HttpLimits;

  // `extraCaPemPath`: PEM certificate authorities trusted in addition to the system
  // bundle (/etc/ssl/certs/ca-certificates.crt). When the file cannot be read, only the
  // system authorities are trusted. Tests may pass smaller `limits`.
  explicit CurlUrlSession(std::optional<std::string> extraCaPemPath = std::nullopt,
                          Limits limits = {});
  ~CurlUrlSession() override;
  CurlUrlSession(const CurlUrlSession&) = delete;
  CurlUrlSession& operator=(const CurlUrlSession&) = delete;

  void dataTask(UrlRequest request, Completion completion) override;

 private:
  // The state the worker uses lives apart, so that a session destroyed on its own
  // worker thread can let the thread finish with it.
  struct Engine;

  std::shared_ptr<Engine> engine_;
  std::thread worker_;
};

}  // namespace qv
