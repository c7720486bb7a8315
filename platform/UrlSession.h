#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Types.h"

namespace qv {

using HeaderFields = std::vector<std::pair<std::string, std::string>>;

struct UrlRequest {
  enum class CachePolicy { useProtocolCachePolicy, reloadIgnoringLocalAndRemoteCacheData };

  std::string url;
  std::string method = "GET";
  HeaderFields headers;  // sent in this order
  std::optional<Bytes> body;
  std::chrono::seconds timeout{60};
  // The session keeps no cache and no cookie jar, so both always hold as requested:
  // nothing is served from a cache and no stored cookie is sent or kept.
  CachePolicy cachePolicy = CachePolicy::useProtocolCachePolicy;
  bool httpShouldHandleCookies = true;
};

struct HttpResponse {
  long statusCode = 0;
  std::string url;       // the URL that answered
  HeaderFields headers;  // in arrival order; repeated names (Set-Cookie) stay separate
};

// Outcome of one data task: a transport error, or a response with its body.
struct UrlTaskResult {
  std::optional<Bytes> data;
  std::optional<HttpResponse> response;
  std::optional<std::string> error;  // localised description of a transport error
};

// The shared HTTP(S) session. dataTask() returns at once; `completion` runs exactly
// once on the session's worker thread (never on the caller's stack). Thread-safe.
class UrlSession {
 public:
  using Completion = std::function<void(UrlTaskResult)>;

  virtual ~UrlSession() = default;
  virtual void dataTask(UrlRequest request, Completion completion) = 0;
};

}  // namespace qv
