#pragma once

#include <glib-object.h>

#include <memory>
#include <utility>

namespace qv {

// Owns one GObject reference; releases it when destroyed. Move-only.
template <typename T>
class GObjectRef {
 public:
  GObjectRef() = default;
  // Takes over a reference the caller owns (a "transfer full" result).
  explicit GObjectRef(T* owned) : ptr_(owned) {}
  ~GObjectRef() { reset(); }
  GObjectRef(GObjectRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  GObjectRef& operator=(GObjectRef&& other) noexcept {
    if (this != &other) {
      reset();
      ptr_ = std::exchange(other.ptr_, nullptr);
    }
    return *this;
  }
  GObjectRef(const GObjectRef&) = delete;
  GObjectRef& operator=(const GObjectRef&) = delete;

  // Widgets start with a floating reference; sinking it makes it ours.
  static GObjectRef sink(gpointer floating) {
    return GObjectRef(static_cast<T*>(g_object_ref_sink(floating)));
  }
  // Adds a reference to an object somebody else owns ("transfer none").
  static GObjectRef retain(gpointer borrowed) {
    return GObjectRef(static_cast<T*>(g_object_ref(borrowed)));
  }

  T* get() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }
  void reset() {
    if (ptr_ != nullptr) g_object_unref(ptr_);
    ptr_ = nullptr;
  }

 private:
  T* ptr_ = nullptr;
};

struct GFreeDeleter {
  void operator()(gpointer pointer) const { g_free(pointer); }
};
// A string GLib handed over, released with g_free.
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;

}  // namespace qv
