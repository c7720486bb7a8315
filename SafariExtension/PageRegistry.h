#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/SafariServices.h"

namespace qv {

// The content pages that have messaged the extension, by the page id their content
// script chose. Entries are added or replaced by every content-page message and removed
// only by "unregisterPage"; closed tabs are not noticed. Holds its pages strongly.
// Thread-safe: the IPC reader thread writes it while the main queue reads it.
class PageRegistry {
 public:
  // Stores `page` under `id`, replacing any earlier page. A null page is not stored.
  void registerPage(const std::string& id, std::shared_ptr<SafariPage> page);
  // Removes the entry for `id` if there is one.
  void unregisterPage(const std::string& id);
  // The page stored under `id`; null when there is none.
  std::shared_ptr<SafariPage> lookup(const std::string& id) const;
  // Every stored page, in no promised order.
  std::vector<std::shared_ptr<SafariPage>> allPages() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<SafariPage>> pages_;
};

}  // namespace qv
