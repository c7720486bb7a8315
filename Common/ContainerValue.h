#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Common/DataContainer.h"
#include "Common/JsonCodec.h"
#include "platform/JsonFields.h"

namespace qv {

// One typed value of a shared store, stored as the UTF-8 JSON of a one-element array
// holding the value (`["…"]`, `[null]` for an absent optional). Copies refer to the
// same backend. Nothing is cached: every read decodes from storage again.
template <typename T>
struct ContainerValue {
  std::shared_ptr<DataContainer> container;
  std::string key;
  T defaultValue;

  // The stored value; absent when nothing is stored or the bytes are not a JSON array
  // of exactly one T.
  std::optional<T> optionalValue() const {
    std::optional<Bytes> bytes = container->get(key);
    if (!bytes) return std::nullopt;
    std::optional<Json> json = json::parse(toString(*bytes));
    if (!json || !json->is_array() || json->size() != 1) return std::nullopt;
    return JsonCodec<T>::decode((*json)[0]);
  }

  T value() const { return optionalValue().value_or(defaultValue); }

  // Stores `newValue`; a value that cannot be encoded is dropped silently.
  void setValue(const T& newValue) const {
    std::optional<std::string> text = json::dump(Json::array({JsonCodec<T>::encode(newValue)}));
    if (!text) return;
    container->set(toBytes(*text), key);
  }

  // `cb` receives the value as read when each later change is noticed (on the
  // backend's notification thread). Keep the Unsubscriber alive to keep listening.
  std::unique_ptr<Unsubscriber> subscribe(std::function<void(T)> cb) const {
    ContainerValue copy = *this;
    return container->subscribe(key, [copy, cb = std::move(cb)] { cb(copy.value()); });
  }
};

}  // namespace qv
