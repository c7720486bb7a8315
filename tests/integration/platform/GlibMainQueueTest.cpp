#include "platform/linux/system/GlibMainQueue.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/MainLoop.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using test::runFor;
using test::runUntil;

TEST(GlibMainQueueTest, AsyncRunsLaterInSubmissionOrder) {
  GlibMainQueue queue;
  std::vector<int> order;
  for (int i = 0; i < 100; ++i) queue.async([&order, i] { order.push_back(i); });
  EXPECT_TRUE(order.empty());  // never on the caller's stack

  ASSERT_TRUE(runUntil([&] { return order.size() == 100; }));
  for (int i = 0; i < 100; ++i) ASSERT_EQ(order[static_cast<std::size_t>(i)], i);

  // Work submitted by running work goes behind what was already queued.
  order.clear();
  queue.async([&] {
    order.push_back(1);
    queue.async([&] { order.push_back(3); });
  });
  queue.async([&] { order.push_back(2); });
  ASSERT_TRUE(runUntil([&] { return order.size() == 3; }));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(GlibMainQueueTest, AsyncAfterRunsInDueOrderEvenAfterAStall) {
  GlibMainQueue queue;
  std::vector<std::string> order;
  auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration lateRanAfter{};
  queue.asyncAfter(60ms, [&] {
    order.push_back("60");
    lateRanAfter = std::chrono::steady_clock::now() - start;
  });
  queue.asyncAfter(20ms, [&] { order.push_back("20a"); });
  queue.asyncAfter(40ms, [&] { order.push_back("40"); });
  queue.asyncAfter(20ms, [&] { order.push_back("20b"); });
  queue.async([&] { order.push_back("now"); });
  // Everything is due before the loop runs again; due order must still hold.
  std::this_thread::sleep_for(80ms);
  ASSERT_TRUE(runUntil([&] { return order.size() == 5; }));
  EXPECT_EQ(order, (std::vector<std::string>{"now", "20a", "20b", "40", "60"}));

  // And without a stall, nothing runs before it is due.
  order.clear();
  start = std::chrono::steady_clock::now();
  queue.asyncAfter(60ms, [&] {
    order.push_back("60");
    lateRanAfter = std::chrono::steady_clock::now() - start;
  });
  queue.async([&] { order.push_back("now"); });
  ASSERT_TRUE(runUntil([&] { return order.size() == 2; }));
  EXPECT_EQ(order, (std::vector<std::string>{"now", "60"}));
  EXPECT_GE(lateRanAfter, 60ms);
}

TEST(GlibMainQueueTest, RepeatingTimerRunsUntilCancelled) {
  GlibMainQueue queue;
  int ticks = 0;
  auto timer = queue.scheduleRepeating(5ms, [&] { ++ticks; });
  EXPECT_EQ(ticks, 0);
  ASSERT_TRUE(runUntil([&] { return ticks >= 3; }));
  timer->cancel();
  int atCancel = ticks;
  runFor(50ms);
  EXPECT_EQ(ticks, atCancel);
  timer.reset();  // destroying a cancelled handle is harmless

  // Destroying the handle cancels too, and a timer may cancel itself from its work.
  int selfTicks = 0;
  std::unique_ptr<TimerHandle> self;
  self = queue.scheduleRepeating(5ms, [&] {
    if (++selfTicks == 2) self->cancel();
  });
  int dropped = 0;
  queue.scheduleRepeating(5ms, [&] { ++dropped; }).reset();
  ASSERT_TRUE(runUntil([&] { return selfTicks == 2; }));
  runFor(50ms);
  EXPECT_EQ(selfTicks, 2);
  EXPECT_EQ(dropped, 0);
}

TEST(GlibMainQueueTest, WorkFromOtherThreadsRunsOnTheMainThread) {
  GlibMainQueue queue;
  EXPECT_TRUE(queue.isMainThread());
  std::atomic<bool> otherSaysMain{true};
  std::mutex mutex;
  std::vector<int> order;
  int onMainThread = 0;

  std::thread producer([&] {
    otherSaysMain = queue.isMainThread();
    for (int i = 0; i < 50; ++i) {
      queue.async([&, i] {
        std::lock_guard lock(mutex);
        order.push_back(i);
        if (queue.isMainThread()) ++onMainThread;
      });
    }
    queue.asyncAfter(1ms, [&] {
      std::lock_guard lock(mutex);
      order.push_back(50);
      if (queue.isMainThread()) ++onMainThread;
    });
  });
  ASSERT_TRUE(runUntil([&] {
    std::lock_guard lock(mutex);
    return order.size() == 51;
  }));
  producer.join();
  EXPECT_FALSE(otherSaysMain.load());
  std::lock_guard lock(mutex);
  EXPECT_EQ(onMainThread, 51);
  for (int i = 0; i <= 50; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(GlibMainQueueTest, PendingWorkIsDroppedWithTheQueue) {
  int ran = 0;
  {
    GlibMainQueue queue;
    queue.async([&] { ++ran; });
    queue.asyncAfter(1ms, [&] { ++ran; });
  }
  GlibMainQueue other;
  bool sentinel = false;
  other.asyncAfter(20ms, [&] { sentinel = true; });
  ASSERT_TRUE(runUntil([&] { return sentinel; }));
  EXPECT_EQ(ran, 0);
}

}  // namespace
}  // namespace qv
