// Shared values, cancellation, queues and identifiers.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <set>
#include <thread>

#include "foundation/clock.h"
#include "foundation/queue.h"
#include "foundation/sync.h"
#include "foundation/uuid.h"
#include "support/harness.h"

namespace qcu {
namespace {

TEST(Locked, CopiesShareOneValueAndUpdatesAreAtomic) {
  Locked<std::int64_t> a(0);
  Locked<std::int64_t> b = a;
  auto bump = [](Locked<std::int64_t> value) {
    for (int i = 0; i < 1000; ++i)
      value.update([](std::int64_t& v) { ++v; });
  };
  std::thread one(bump, a);
  std::thread two(bump, b);
  one.join();
  two.join();
  EXPECT_EQ(a.get(), 2000);
  b.set(5);
  EXPECT_EQ(a.get(), 5);
}

TEST(CancelToken, CancellationIsOneWayAndShared) {
  CancelToken token;
  EXPECT_NO_THROW(token.check());
  EXPECT_NO_THROW(token.check());
  CancelToken copy = token;
  copy.cancel();
  copy.cancel();
  EXPECT_TRUE(token.isCancelled());
  EXPECT_THROW(token.check(), CancelledError);
  EXPECT_THROW(token.check(), CancelledError);
}

TEST(Uuid, FormatsAndFreshness) {
  std::regex upper("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::regex lower("[0-9a-f]{12}4[0-9a-f]{3}[89ab][0-9a-f]{15}");
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    auto u = randomUUIDString();
    auto h = randomUUIDHexLower();
    EXPECT_TRUE(std::regex_match(u, upper)) << u;
    EXPECT_TRUE(std::regex_match(h, lower)) << h;
    seen.insert(u);
    seen.insert(h);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(SerialQueue, RunsTasksOneAtATimeInOrder) {
  // Queues live as long as the process, like the helper's own; this one is never destroyed.
  static auto* queuePointer = new SerialQueue("test.queue");
  SerialQueue& queue = *queuePointer;
  std::atomic<int> running{0};
  std::atomic<int> overlap{0};
  std::vector<int> order;
  std::mutex orderLock;
  std::atomic<int> done{0};
  for (int i = 0; i < 20; ++i) {
    queue.async([&, i] {
      if (running.fetch_add(1) != 0) ++overlap;
      {
        std::lock_guard<std::mutex> guard(orderLock);
        order.push_back(i);
      }
      running.fetch_sub(1);
      ++done;
    });
  }
  ASSERT_TRUE(test::waitUntil([&] { return done.load() == 20; }, "the queue's 20 tasks"));
  EXPECT_EQ(overlap.load(), 0);
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(Clock, TestsCanMoveWallTimeForward) {
  resetClockForTests();
  TimePoint before = wallNow();
  advanceClockForTests(Seconds(31));
  EXPECT_GE(wallNow() - before, std::chrono::seconds(31));
  resetClockForTests();
  EXPECT_LT(wallNow() - before, std::chrono::seconds(31));
}

TEST(Clock, HeldClocksMoveOnlyWhenTestsMoveThem) {
  holdClocksForTests();
  const TimePoint wall = wallNow();
  const SteadyTime steady = steadyNow();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(wallNow(), wall);
  EXPECT_EQ(steadyNow(), steady);
  advanceSteadyClockForTests(Seconds(2));
  EXPECT_EQ(steadyNow() - steady, std::chrono::seconds(2));
  EXPECT_EQ(wallNow(), wall);
  resetClockForTests();
  const SteadyTime running = steadyNow();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_GT(steadyNow(), running);
}

}  // namespace
}  // namespace qcu
