#pragma once

#include <glib-object.h>

#include <memory>
#include <utility>

namespace qv::host {

// Owns one strong reference to a GObject. adopt() takes over a reference the caller
// already holds (a "transfer full" return value); retain() adds one of its own.
template <typename T>
class GObjectPtr {
 public:
  GObjectPtr() = default;
  static GObjectPtr adopt(T* object) { return GObjectPtr(object); }
  static GObjectPtr retain(T* object) {
    if (object != nullptr) g_object_ref(object);
    return GObjectPtr(object);
  }
  ~GObjectPtr() { reset(); }
  GObjectPtr(const GObjectPtr& other) : object_(other.object_) {
    if (object_ != nullptr) g_object_ref(object_);
  }
  GObjectPtr& operator=(const GObjectPtr& other) {
    if (this != &other) *this = retain(other.object_);
    return *this;
  }
  GObjectPtr(GObjectPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  GObjectPtr& operator=(GObjectPtr&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  void reset() {
    if (T* object = std::exchange(object_, nullptr)) g_object_unref(object);
  }

 private:
  explicit GObjectPtr(T* object) : object_(object) {}
  T* object_ = nullptr;
};

struct GFreeDeleter {
  void operator()(void* pointer) const { g_free(pointer); }
};
// A g_malloc'd string owned until scope end.
using GCharPtr = std::unique_ptr<char, GFreeDeleter>;

struct GErrorDeleter {
  void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

struct GBytesDeleter {
  void operator()(GBytes* bytes) const { g_bytes_unref(bytes); }
};
using GBytesPtr = std::unique_ptr<GBytes, GBytesDeleter>;

}  // namespace qv::host
