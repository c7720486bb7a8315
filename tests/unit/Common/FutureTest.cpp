#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Common/Future.h"

namespace qv {
namespace {

using namespace FutureFunc;

// A future whose callbacks the test fires by hand, counting how often it was started.
template <typename T>
struct ManualFuture {
  std::vector<std::function<void(T)>> callbacks;
  int starts = 0;

  Future<T> future() {
    return [this](std::function<void(T)> cb) {
      ++starts;
      callbacks.push_back(std::move(cb));
    };
  }
};

TEST(FutureTest, pureDeliversSynchronouslyEveryTimeItRuns) {
  std::vector<int> seen;
  Future<int> five = pure(5);
  five([&](int v) { seen.push_back(v); });
  five([&](int v) { seen.push_back(v); });
  EXPECT_EQ(seen, (std::vector<int>{5, 5}));

  bool ran = false;
  Future<int> tracked = [&](std::function<void(int)> cb) {
    ran = true;
    cb(1);
  };
  run(tracked);
  EXPECT_TRUE(ran);
}

TEST(FutureTest, fmapAndBindContinueOncePerDeliveryAndNeverWithout) {
  ManualFuture<int> source;
  std::vector<std::string> seen;
  Future<std::string> mapped = fmap([](int v) { return std::to_string(v * 2); }, source.future());
  Future<std::string> bound = bind(mapped, [](std::string s) { return pure(s + "!"); });
  bound([&](std::string s) { seen.push_back(s); });

  EXPECT_TRUE(seen.empty());  // nothing delivered yet: nothing happens, no time-out
  ASSERT_EQ(source.callbacks.size(), 1u);
  source.callbacks[0](3);
  source.callbacks[0](4);  // a source that delivers twice continues twice
  EXPECT_EQ(seen, (std::vector<std::string>{"6!", "8!"}));
}

TEST(FutureTest, applyRunsTheValueFutureStrictlyBeforeTheFunctionFuture) {
  std::vector<std::string> order;
  Future<int> fa = [&](std::function<void(int)> cb) {
    order.push_back("fa");
    cb(20);
  };
  Future<std::function<int(int)>> ff = [&](std::function<void(std::function<int(int)>)> cb) {
    order.push_back("ff");
    cb([](int v) { return v + 1; });
  };
  int result = 0;
  apply(ff, fa)([&](int v) { result = v; });
  EXPECT_EQ(result, 21);
  EXPECT_EQ(order, (std::vector<std::string>{"fa", "ff"}));
}

TEST(FutureTest, applyStartsTheFunctionFutureAgainWhenTheValueArrivesTwice) {
  ManualFuture<int> fa;
  ManualFuture<std::function<int(int)>> ff;
  std::vector<int> seen;
  apply(ff.future(), fa.future())([&](int v) { seen.push_back(v); });
  fa.callbacks[0](1);
  fa.callbacks[0](2);
  EXPECT_EQ(ff.starts, 2);
  ff.callbacks[1]([](int v) { return v * 10; });
  EXPECT_EQ(seen, (std::vector<int>{20}));
}

TEST(FutureTest, bindJustSkipsTheFunctionForAbsentValues) {
  int calls = 0;
  auto next = [&](int v) {
    ++calls;
    return pure<std::optional<std::string>>(std::to_string(v));
  };
  std::vector<std::optional<std::string>> seen;
  bindJust(pure<std::optional<int>>(std::nullopt), next)([&](auto v) { seen.push_back(v); });
  bindJust(pure<std::optional<int>>(7), next)([&](auto v) { seen.push_back(v); });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen, (std::vector<std::optional<std::string>>{std::nullopt, "7"}));
}

TEST(FutureTest, maybeChoosesBetweenDefaultAndFunction) {
  auto describe =
      Maybe::maybe(std::string("none"), [](int v) { return "got " + std::to_string(v); });
  EXPECT_EQ(describe(std::optional<int>()), "none");
  EXPECT_EQ(describe(std::optional<int>(3)), "got 3");
}

}  // namespace
}  // namespace qv
