#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace qv {

// A cold asynchronous value: calling the future starts its work, which delivers the
// result by calling the callback (on whatever thread finishes the work). Calling it
// twice runs the work twice. Failure travels inside T (usually an optional).
template <typename T>
using Future = std::function<void(std::function<void(T)>)>;

template <typename F>
struct FutureValue;
template <typename T>
struct FutureValue<Future<T>> {
  using type = T;
};

namespace Maybe {

// A function from optional A to R: `defaultValue` when absent, f(a) otherwise.
// `defaultValue` is copied once, here.
template <typename R, typename F>
auto maybe(R defaultValue, F f) {
  return [defaultValue = std::move(defaultValue), f = std::move(f)](const auto& optional) -> R {
    if (!optional) return defaultValue;
    return f(*optional);
  };
}

}  // namespace Maybe

// Combinators over futures. None of them changes threads or takes a lock; each step
// continues on the thread that delivered the previous value. Arguments are captured
// strongly by the futures they return.
namespace FutureFunc {

// Starts `fa` and ignores its value.
template <typename A>
void run(const Future<A>& fa) {
  fa([](A) {});
}

// A future that delivers `value` at once, on the caller's thread, every time it runs.
template <typename A>
Future<A> pure(A value) {
  auto cell = std::make_shared<const A>(std::move(value));
  return [cell](std::function<void(A)> cb) { cb(*cell); };
}

// Delivers f(a) for the a that `fa` delivers.
template <typename F, typename A>
auto fmap(F f, Future<A> fa) -> Future<std::invoke_result_t<F, A>> {
  using B = std::invoke_result_t<F, A>;
  return [f = std::move(f), fa = std::move(fa)](std::function<void(B)> cb) {
    fa([f, cb = std::move(cb)](A a) { cb(f(std::move(a))); });
  };
}

// Runs `fa` first, then `ff`, one after the other, and delivers g(a).
template <typename A, typename B>
Future<B> apply(Future<std::function<B(A)>> ff, Future<A> fa) {
  return [ff = std::move(ff), fa = std::move(fa)](std::function<void(B)> cb) {
    fa([ff, cb = std::move(cb)](A a) {
      ff([a = std::move(a), cb](std::function<B(A)> g) { cb(g(a)); });
    });
  };
}

// Runs `fa`, then the future f(a), whose value is delivered.
template <typename A, typename F>
auto bind(Future<A> fa, F f) -> std::invoke_result_t<F, A> {
  using FB = std::invoke_result_t<F, A>;
  using B = typename FutureValue<FB>::type;
  return [fa = std::move(fa), f = std::move(f)](std::function<void(B)> cb) {
    fa([f, cb = std::move(cb)](A a) { f(std::move(a))(cb); });
  };
}

// Like bind, but an absent value from `fa` is delivered as absent without calling f.
template <typename A, typename F>
auto bindJust(Future<std::optional<A>> fa, F f) -> std::invoke_result_t<F, A> {
  using FB = std::invoke_result_t<F, A>;
  using OptionalB = typename FutureValue<FB>::type;
  // Built once per bindJust and shared by every run of the result.
  FB none = pure<OptionalB>(std::nullopt);
  return bind(std::move(fa), Maybe::maybe(std::move(none), std::move(f)));
}

}  // namespace FutureFunc
}  // namespace qv
