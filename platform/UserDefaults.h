#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/Types.h"

namespace qv {

// Ends a change subscription when destroyed. After the destructor returns the
// callback is not running and will not run again (unless it is destroyed from inside
// that callback, which is allowed).
class Subscription {
 public:
  virtual ~Subscription() = default;
};

// One user-defaults domain: an app-group suite or an application's standard defaults.
// Typed values under string keys, durable when a write returns, shared with other
// processes that open the same domain. Thread-safe.
class UserDefaults {
 public:
  // data, string, bool, integer, real, date: the six stored types.
  using Value = std::variant<Bytes, std::string, bool, std::int64_t, double, Date>;

  virtual ~UserDefaults() = default;

  // The typed value under `key`, or absent.
  virtual std::optional<Value> object(const std::string& key) = 0;
  // Stores `value` under `key`; absent removes the key. False when the write failed.
  virtual bool set(const std::string& key, const std::optional<Value>& value) = 0;
  // Every key with its value, sorted by key.
  virtual std::vector<std::pair<std::string, Value>> all() = 0;
  // `onChange` is called after every committed change of `key` (insert, update,
  // delete) made by this process or by another one, on the store's watcher thread.
  // A write that leaves the value as it was may or may not notify.
  virtual std::unique_ptr<Subscription> subscribe(const std::string& key,
                                                  std::function<void()> onChange) = 0;

  // Typed reads: absent when nothing is stored or another type is stored.
  std::optional<Bytes> data(const std::string& key) { return get<Bytes>(key); }
  std::optional<std::string> string(const std::string& key) { return get<std::string>(key); }
  std::optional<bool> boolean(const std::string& key) { return get<bool>(key); }
  std::optional<std::int64_t> integer(const std::string& key) { return get<std::int64_t>(key); }
  std::optional<double> real(const std::string& key) { return get<double>(key); }
  std::optional<Date> date(const std::string& key) { return get<Date>(key); }

 private:
  template <typename T>
  std::optional<T> get(const std::string& key) {
    auto value = object(key);
    if (!value) return std::nullopt;
    if (const T* typed = std::get_if<T>(&*value)) return *typed;
    return std::nullopt;
  }
};

// Opens defaults domains. Thread-safe. Opening the same domain twice in one process
// returns the same store.
class UserDefaultsFactory {
 public:
  virtual ~UserDefaultsFactory() = default;
  // The app-group suite `name`; null when it cannot be opened or created.
  virtual std::shared_ptr<UserDefaults> suite(const std::string& name) = 0;
  // The standard defaults of the application with this bundle identifier; null when
  // they cannot be opened or created.
  virtual std::shared_ptr<UserDefaults> standard(const std::string& bundleIdentifier) = 0;
};

}  // namespace qv
