#pragma once

#include <memory>

namespace qv {

// A std::unique_ptr deleter that hands the pointer to the C library function `Release`
// (curl_easy_cleanup, g_free, X509_free, ...): one definition for every handle type
// instead of a deleter struct per type. unique_ptr never calls it with null.
template <auto Release>
struct Releaser {
  template <class T>
  void operator()(T* handle) const {
    Release(handle);
  }
};

// Owns a `T*` from a C library and frees it with `Release`.
template <class T, auto Release>
using CHandle = std::unique_ptr<T, Releaser<Release>>;

}  // namespace qv
