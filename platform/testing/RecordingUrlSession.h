#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/UrlSession.h"

namespace qv::testing {

// Records every request and holds its completion until the test answers it, on the
// test's own thread, so tests decide exactly when "the network" replies.
class RecordingUrlSession final : public UrlSession {
 public:
  void dataTask(UrlRequest request, Completion completion) override;

  std::vector<UrlRequest> requests() const;
  std::size_t pendingCount() const;
  // Answers the oldest pending request; false when none is pending.
  bool completeNext(UrlTaskResult result);
  // Answers every pending request (including ones made by completions) with `respond`.
  std::size_t completeAll(const std::function<UrlTaskResult(const UrlRequest&)>& respond);

  // Ready-made results.
  static UrlTaskResult http(long status, const std::string& body = "", HeaderFields headers = {});
  static UrlTaskResult transportError(const std::string& description);

 private:
  struct Pending {
    UrlRequest request;
    Completion completion;
  };
  mutable std::mutex mutex_;
  std::vector<UrlRequest> requests_;
  std::vector<Pending> pending_;
};

}  // namespace qv::testing
