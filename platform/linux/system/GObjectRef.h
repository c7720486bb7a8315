#pragma once

#include <glib-object.h>

#include <memory>
#include <utility>

#include "platform/CHandle.h"

namespace qv {

// Owns one GObject reference; releases it when destroyed. Move-only: a second owner takes
// its own reference with retain(). Not synchronised; whichever thread drops the last
// reference finalizes the object, so refs to widgets stay on the GTK main thread.
template <typename T>
class GObjectRef {
 public:
  GObjectRef() = default;
  // Takes over a reference the caller owns (a "transfer full" result); null stays empty.
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
  // Adds a reference to an object somebody else owns ("transfer none"); null gives an
  // empty ref.
  static GObjectRef retain(gpointer borrowed) {
    if (borrowed == nullptr) return GObjectRef();
    return GObjectRef(static_cast<T*>(g_object_ref(borrowed)));
  }

  T* get() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }
  void reset() {
    if (T* object = std::exchange(ptr_, nullptr)) g_object_unref(object);
  }

 private:
  T* ptr_ = nullptr;
};

// A string GLib handed over, released with g_free.
using GCharPtr = CHandle<gchar, g_free>;
// An error a GLib call reported through its GError** argument, released with g_error_free.
using GErrorPtr = CHandle<GError, g_error_free>;
// A GBytes reference the caller owns, released with g_bytes_unref.
using GBytesPtr = CHandle<GBytes, g_bytes_unref>;

}  // namespace qv
