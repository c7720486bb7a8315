#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/UserDefaults.h"
#include "platform/linux/store/DefaultsCodec.h"

// The subscriptions of one defaults store and the state they share with its watcher.
namespace qv::defaults {

// One subscribe() call's callback.
struct Subscriber {
  explicit Subscriber(std::function<void()> callback) : onChange(std::move(callback)) {}
  std::function<void()> onChange;
  bool active = true;  // guarded by Registry::mutex
};

struct KeyWatch {
  std::optional<StoredRow> snapshot;  // the row as last seen; absent when no row
  std::vector<std::shared_ptr<Subscriber>> subscribers;
};

// What the store, its subscriptions and its watcher thread share. Every field is guarded
// by `mutex`. Subscriptions keep it alive, so they may outlive the store and the watcher.
struct Registry {
  std::mutex mutex;
  std::condition_variable callbackDone;  // signalled whenever `running` is cleared
  std::map<std::string, KeyWatch> keys;
  std::set<std::string> localWrites;  // subscribed keys written here, not yet notified
  bool rescan = true;                 // a key was added: compare all, whatever data_version
  bool stopping = false;
  const Subscriber* running = nullptr;  // whose callback the watcher is in
  std::thread::id watcherThread;
  int wakeFd = -1;  // the watcher's eventfd while it runs

  // Wakes the watcher, if it runs. Caller holds `mutex`.
  void wake() const;
};

// Ends one subscriber's notifications when destroyed. Off the watcher thread the
// destructor waits for the subscriber's running callback, then releases the callback
// (and its captures) before returning. On the watcher thread, i.e. inside some callback,
// it returns at once; the callback's captures then die with the watcher's last copy.
class KeySubscription final : public Subscription {
 public:
  KeySubscription(std::shared_ptr<Registry> registry, std::string key,
                  std::shared_ptr<Subscriber> subscriber)
      : registry_(std::move(registry)), key_(std::move(key)), subscriber_(std::move(subscriber)) {}
  ~KeySubscription() override;
  KeySubscription(const KeySubscription&) = delete;
  KeySubscription& operator=(const KeySubscription&) = delete;

 private:
  std::shared_ptr<Registry> registry_;
  std::string key_;
  std::shared_ptr<Subscriber> subscriber_;
};

}  // namespace qv::defaults
