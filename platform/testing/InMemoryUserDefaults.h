#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/UserDefaults.h"

namespace qv::testing {

// Defaults kept in memory. Subscribers are called synchronously on the writing thread
// after each set() of their key (even one that leaves the value as it was), which is
// how a test plays both this process and "another process" writing the suite.
class InMemoryUserDefaults final : public UserDefaults {
 public:
  std::optional<Value> object(const std::string& key) override;
  bool set(const std::string& key, const std::optional<Value>& value) override;
  std::vector<std::pair<std::string, Value>> all() override;
  std::unique_ptr<Subscription> subscribe(const std::string& key,
                                          std::function<void()> onChange) override;

  std::size_t subscriberCount(const std::string& key) const;
  // When true, set() stores nothing and returns false.
  void setFailWrites(bool fail) { failWrites_ = fail; }

 private:
  struct Subscriber;
  struct State {
    std::mutex mutex;
    std::map<std::string, Value> values;
    std::multimap<std::string, std::shared_ptr<Subscriber>> subscribers;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::atomic<bool> failWrites_ = false;
};

// Hands out one InMemoryUserDefaults per domain name; can refuse to open a domain.
class InMemoryUserDefaultsFactory final : public UserDefaultsFactory {
 public:
  std::shared_ptr<UserDefaults> suite(const std::string& name) override;
  std::shared_ptr<UserDefaults> standard(const std::string& bundleIdentifier) override;

  // The store a domain would get (created on first use), for tests to inspect.
  std::shared_ptr<InMemoryUserDefaults> suiteStore(const std::string& name);
  std::shared_ptr<InMemoryUserDefaults> standardStore(const std::string& bundleIdentifier);
  void setRefuseSuites(bool refuse) { refuseSuites_ = refuse; }
  std::size_t suiteOpenCount() const { return suiteOpens_; }

 private:
  std::shared_ptr<InMemoryUserDefaults> store(const std::string& domain);

  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<InMemoryUserDefaults>> stores_;
  std::atomic<bool> refuseSuites_ = false;
  std::atomic<std::size_t> suiteOpens_ = 0;
};

}  // namespace qv::testing
