#include "platform/linux/store/DefaultsSubscriptions.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace qv::defaults {

void Registry::wake() const {
  if (wakeFd < 0) return;
  std::uint64_t one = 1;
  // A full counter still wakes the watcher, so a failed write loses nothing.
  [[maybe_unused]] ssize_t written = write(wakeFd, &one, sizeof one);
}

KeySubscription::~KeySubscription() {
  std::function<void()> released;  // destroyed after the lock is let go
  std::unique_lock lock(registry_->mutex);
  subscriber_->active = false;
  if (auto it = registry_->keys.find(key_); it != registry_->keys.end()) {
    auto& list = it->second.subscribers;
    list.erase(std::remove(list.begin(), list.end(), subscriber_), list.end());
    if (list.empty()) registry_->keys.erase(it);
  }
  // On the watcher thread we are inside a callback (maybe our own): waiting for the
  // callback to end would deadlock, and no other callback can be running.
  if (std::this_thread::get_id() == registry_->watcherThread) return;
  registry_->callbackDone.wait(lock, [&] { return registry_->running != subscriber_.get(); });
  // The watcher may still hold the Subscriber; the callback's captures die here, now.
  released = std::move(subscriber_->onChange);
}

}  // namespace qv::defaults
