#include "SafariExtension/PageRegistry.h"

namespace qv {

void PageRegistry::registerPage(const std::string& id, std::shared_ptr<SafariPage> page) {
  if (!page) return;
  std::lock_guard lock(mutex_);
  // The replaced handle leaves in `page`, released after the lock.
  std::swap(pages_[id], page);
}

void PageRegistry::unregisterPage(const std::string& id) {
  std::shared_ptr<SafariPage> removed;  // released after the lock
  std::lock_guard lock(mutex_);
  auto it = pages_.find(id);
  if (it == pages_.end()) return;
  removed = std::move(it->second);
  pages_.erase(it);
}

std::shared_ptr<SafariPage> PageRegistry::lookup(const std::string& id) const {
  std::lock_guard lock(mutex_);
  auto it = pages_.find(id);
  return it == pages_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<SafariPage>> PageRegistry::allPages() const {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<SafariPage>> pages;
  pages.reserve(pages_.size());
  for (const auto& [id, page] : pages_) pages.push_back(page);
  return pages;
}

}  // namespace qv
