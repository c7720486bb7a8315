#include "platform/testing/RecordingUrlSession.h"

namespace qv::testing {

void RecordingUrlSession::dataTask(UrlRequest request, Completion completion) {
  std::lock_guard lock(mutex_);
  requests_.push_back(request);
  pending_.push_back({std::move(request), std::move(completion)});
}

std::vector<UrlRequest> RecordingUrlSession::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t RecordingUrlSession::pendingCount() const {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

bool RecordingUrlSession::completeNext(UrlTaskResult result) {
  Pending next;
  {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) return false;
    next = std::move(pending_.front());
    pending_.erase(pending_.begin());
  }
  next.completion(std::move(result));
  return true;
}

std::size_t RecordingUrlSession::completeAll(
    const std::function<UrlTaskResult(const UrlRequest&)>& respond) {
  std::size_t count = 0;
  for (;;) {
    Pending next;
    {
      std::lock_guard lock(mutex_);
      if (pending_.empty()) return count;
      next = std::move(pending_.front());
      pending_.erase(pending_.begin());
    }
    next.completion(respond(next.request));
    ++count;
  }
}

UrlTaskResult RecordingUrlSession::http(long status, const std::string& body,
                                        HeaderFields headers) {
  UrlTaskResult result;
  result.response = HttpResponse{status, "", std::move(headers)};
  result.data = Bytes(body.begin(), body.end());
  return result;
}

UrlTaskResult RecordingUrlSession::transportError(const std::string& description) {
  UrlTaskResult result;
  result.error = description;
  return result;
}

}  // namespace qv::testing
