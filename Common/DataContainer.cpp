#include "Common/DataContainer.h"

namespace qv {

UserDefaultsContainer::UserDefaultsContainer(std::shared_ptr<UserDefaults> userDefaults)
    : userDefaults_(std::move(userDefaults)) {}

std::optional<Bytes> UserDefaultsContainer::get(const std::string& key) {
  return userDefaults_->data(key);
}

void UserDefaultsContainer::set(const std::optional<Bytes>& bytes, const std::string& key) {
  // Every write is durable when it returns, so there is nothing left to synchronise.
  if (bytes) {
    userDefaults_->set(key, UserDefaults::Value(*bytes));
  } else {
    userDefaults_->set(key, std::nullopt);
  }
}

std::unique_ptr<Unsubscriber> UserDefaultsContainer::subscribe(const std::string& key,
                                                               std::function<void()> callback) {
  std::shared_ptr<Subscription> subscription = userDefaults_->subscribe(key, std::move(callback));
  // The closure keeps the suite alive for as long as the subscription lasts.
  return std::make_unique<Unsubscriber>(
      [suite = userDefaults_, subscription = std::move(subscription)]() mutable {
        subscription.reset();
      });
}

}  // namespace qv
