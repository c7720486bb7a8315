#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace qv {

// A set of listeners held weakly: the set never keeps a listener alive, and a listener
// that has been released is skipped and dropped from the set. Members are called in
// the order they were added. Thread-safe; callbacks run on the caller's thread, outside
// the lock, so a listener may add or remove members while being called.
template <typename T>
class MulticastDelegate {
 public:
  // Adding a member that is already in the set keeps the one entry.
  void add(const std::shared_ptr<T>& listener) {
    if (!listener) return;
    std::lock_guard lock(mutex_);
    prune();
    if (indexOf(listener) == delegates_.size()) delegates_.push_back(listener);
  }

  void remove(const std::shared_ptr<T>& listener) {
    std::lock_guard lock(mutex_);
    prune();
    std::size_t index = indexOf(listener);
    if (index < delegates_.size()) delegates_.erase(delegates_.begin() + index);
  }

  // The live members, in order, kept alive for as long as the caller holds the result.
  std::vector<std::shared_ptr<T>> snapshot() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<T>> live;
    for (const std::weak_ptr<T>& member : delegates_) {
      if (std::shared_ptr<T> listener = member.lock()) live.push_back(std::move(listener));
    }
    prune();
    return live;
  }

  // Calls `callback` once for each member that is alive when the call starts.
  void invoke(const std::function<void(T&)>& callback) {
    for (const std::shared_ptr<T>& listener : snapshot()) callback(*listener);
  }

  // How many members are held, released ones that were not yet dropped included.
  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return delegates_.size();
  }

 private:
  void prune() {
    std::erase_if(delegates_, [](const std::weak_ptr<T>& member) { return member.expired(); });
  }

  std::size_t indexOf(const std::shared_ptr<T>& listener) const {
    auto it =
        std::find_if(delegates_.begin(), delegates_.end(), [&](const std::weak_ptr<T>& member) {
          return !member.owner_before(listener) && !listener.owner_before(member);
        });
    return static_cast<std::size_t>(it - delegates_.begin());
  }

  mutable std::mutex mutex_;
  std::vector<std::weak_ptr<T>> delegates_;
};

}  // namespace qv
