#include "platform/testing/InMemoryUserDefaults.h"

#include <atomic>
#include <thread>
#include <vector>

namespace qv::testing {

struct InMemoryUserDefaults::Subscriber {
  std::function<void()> onChange;
  std::mutex callMutex;  // held while onChange runs, so unsubscribing waits for it
  bool active = true;
  std::atomic<std::thread::id> callingThread{};
};

namespace {

class InMemorySubscription final : public Subscription {
 public:
  InMemorySubscription(std::function<void()> remove) : remove_(std::move(remove)) {}
  ~InMemorySubscription() override { remove_(); }

 private:
  std::function<void()> remove_;
};

}  // namespace

std::optional<UserDefaults::Value> InMemoryUserDefaults::object(const std::string& key) {
  std::lock_guard lock(state_->mutex);
  auto it = state_->values.find(key);
  if (it == state_->values.end()) return std::nullopt;
  return it->second;
}

bool InMemoryUserDefaults::set(const std::string& key, const std::optional<Value>& value) {
  if (failWrites_) return false;
  std::vector<std::shared_ptr<Subscriber>> toNotify;
  {
    std::lock_guard lock(state_->mutex);
    if (value) {
      state_->values.insert_or_assign(key, *value);
    } else {
      state_->values.erase(key);
    }
    auto [first, last] = state_->subscribers.equal_range(key);
    for (auto it = first; it != last; ++it) toNotify.push_back(it->second);
  }
  for (const auto& subscriber : toNotify) {
    std::lock_guard call(subscriber->callMutex);
    if (!subscriber->active) continue;
    subscriber->callingThread = std::this_thread::get_id();
    subscriber->onChange();
    subscriber->callingThread = std::thread::id();
  }
  return true;
}

std::vector<std::pair<std::string, UserDefaults::Value>> InMemoryUserDefaults::all() {
  std::lock_guard lock(state_->mutex);
  return {state_->values.begin(), state_->values.end()};
}

std::unique_ptr<Subscription> InMemoryUserDefaults::subscribe(const std::string& key,
                                                              std::function<void()> onChange) {
  auto subscriber = std::make_shared<Subscriber>();
  subscriber->onChange = std::move(onChange);
  {
    std::lock_guard lock(state_->mutex);
    state_->subscribers.emplace(key, subscriber);
  }
  std::weak_ptr<State> weakState = state_;
  return std::make_unique<InMemorySubscription>([weakState, key, subscriber] {
    if (auto state = weakState.lock()) {
      std::lock_guard lock(state->mutex);
      auto [first, last] = state->subscribers.equal_range(key);
      for (auto it = first; it != last; ++it) {
        if (it->second == subscriber) {
          state->subscribers.erase(it);
          break;
        }
      }
    }
    // Unsubscribing from inside the callback must not wait for itself.
    if (subscriber->callingThread == std::this_thread::get_id()) {
      subscriber->active = false;
      return;
    }
    std::lock_guard call(subscriber->callMutex);
    subscriber->active = false;
  });
}

std::size_t InMemoryUserDefaults::subscriberCount(const std::string& key) const {
  std::lock_guard lock(state_->mutex);
  return state_->subscribers.count(key);
}

std::shared_ptr<InMemoryUserDefaults> InMemoryUserDefaultsFactory::store(
    const std::string& domain) {
  std::lock_guard lock(mutex_);
  auto& store = stores_[domain];
  if (!store) store = std::make_shared<InMemoryUserDefaults>();
  return store;
}

std::shared_ptr<UserDefaults> InMemoryUserDefaultsFactory::suite(const std::string& name) {
  ++suiteOpens_;
  if (refuseSuites_) return nullptr;
  return suiteStore(name);
}

std::shared_ptr<UserDefaults> InMemoryUserDefaultsFactory::standard(
    const std::string& bundleIdentifier) {
  return standardStore(bundleIdentifier);
}

std::shared_ptr<InMemoryUserDefaults> InMemoryUserDefaultsFactory::suiteStore(
    const std::string& name) {
  return store("suite:" + name);
}

std::shared_ptr<InMemoryUserDefaults> InMemoryUserDefaultsFactory::standardStore(
    const std::string& bundleIdentifier) {
  return store("standard:" + bundleIdentifier);
}

}  // namespace qv::testing
