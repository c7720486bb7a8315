#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Types.h"
#include "platform/UserDefaults.h"

namespace qv {

// Ends a subscription: runs `unsubscribe` at most once, when destroyed unless a holder
// ran it earlier with run().
class Unsubscriber {
 public:
  explicit Unsubscriber(std::function<void()> unsubscribe = nullptr)
      : unsubscribe_(std::move(unsubscribe)) {}
  ~Unsubscriber() { run(); }
  Unsubscriber(const Unsubscriber&) = delete;
  Unsubscriber& operator=(const Unsubscriber&) = delete;

  void run() {
    if (!unsubscribe_) return;
    auto unsubscribe = std::move(unsubscribe_);
    unsubscribe_ = nullptr;
    unsubscribe();
  }

 private:
  std::function<void()> unsubscribe_;
};

// A storage backend for shared values: bytes under a key, with change subscription.
// Callbacks run on the backend's notification thread. Thread-safe.
class DataContainer {
 public:
  virtual ~DataContainer() = default;
  virtual std::optional<Bytes> get(const std::string& key) = 0;
  // Absent bytes remove the key.
  virtual void set(const std::optional<Bytes>& bytes, const std::string& key) = 0;
  // `callback` runs after each later change of `key`, never for the value present now.
  virtual std::unique_ptr<Unsubscriber> subscribe(const std::string& key,
                                                  std::function<void()> callback) = 0;
};

// The app-group defaults suite as a backend.
class UserDefaultsContainer final : public DataContainer {
 public:
  explicit UserDefaultsContainer(std::shared_ptr<UserDefaults> userDefaults);

  std::optional<Bytes> get(const std::string& key) override;
  void set(const std::optional<Bytes>& bytes, const std::string& key) override;
  std::unique_ptr<Unsubscriber> subscribe(const std::string& key,
                                          std::function<void()> callback) override;

 private:
  std::shared_ptr<UserDefaults> userDefaults_;
};

// The backend of a process whose suite could not be opened: nothing is kept and no
// subscriber is ever called.
class NoopDataContainer final : public DataContainer {
 public:
  std::optional<Bytes> get(const std::string&) override { return std::nullopt; }
  void set(const std::optional<Bytes>&, const std::string&) override {}
  std::unique_ptr<Unsubscriber> subscribe(const std::string&, std::function<void()>) override {
    return std::make_unique<Unsubscriber>([] {});
  }
};

}  // namespace qv
