// "hello", "cancel", "stop", "shutdown" and the sweep of expired entries, in-process.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "actions/prepared.h"
#include "foundation/clock.h"
#include "runtime/lifecycle.h"
#include "session/state.h"
#include "support/harness.h"

namespace qcu {
namespace {

using test::Json;

class LifecycleTest : public test::HelperTest {
 protected:
  static Json answer(const std::string& type, const Json& fields = Json::object()) {
    return test::ask(type, fields);
  }

  static std::shared_ptr<Prepared> prepared(const std::string& id, const std::string& attempt,
                                            double ttl = 30) {
    auto record = std::make_shared<Prepared>();
    record->id = id;
    record->attemptId = attempt;
    record->expires = wallAfter(ttl);
    return record;
  }
};

TEST_F(LifecycleTest, HelloReportsVersionsAndChecksOnlyWhatItMust) {
  Json hello = answer("hello", {{"protocolVersion", 1}});
  EXPECT_EQ(hello["ok"], true);
  EXPECT_EQ(hello["protocolVersion"], 1);
  EXPECT_EQ(hello["helperVersion"], "2.9.1");
  EXPECT_EQ(hello["appVersion"], "2.9.93");
  EXPECT_TRUE(hello["inputMonitorReady"].is_boolean());
  EXPECT_TRUE(hello["platform"].is_string());
  EXPECT_TRUE(hello["permissions"]["accessibility"].is_boolean());
  EXPECT_TRUE(hello["permissions"]["screenRecording"].is_boolean());
  EXPECT_EQ(answer("hello", {{"protocolVersion", 1}, {"appVersion", ""}})["ok"], true);
  EXPECT_EQ(answer("hello", {{"protocolVersion", 1}, {"appVersion", 5}})["ok"], true);
  EXPECT_EQ(answer("hello", {{"protocolVersion", 1}, {"appVersion", "2.9.93"}})["ok"], true);
  EXPECT_EQ(answer("hello", {{"protocolVersion", 1}, {"appVersion", "2.9.92"}})["code"],
            "bad_app_version");
  EXPECT_EQ(answer("hello", {{"protocolVersion", 2}})["code"], "bad_version");
  EXPECT_EQ(answer("hello")["code"], "bad_version");
  EXPECT_EQ(answer("hello", {{"protocolVersion", "1"}})["code"], "bad_version");
}

TEST_F(LifecycleTest, HelloWithTheSwitchReportsNoPermissionsAndStillSucceeds) {
  setenv("QUORVEL_CU_FORCE_NO_PERMISSIONS", "1", 1);
  Json hello = answer("hello", {{"protocolVersion", 1}});
  EXPECT_EQ(hello["ok"], true);
  EXPECT_EQ(hello["permissions"], (Json{{"accessibility", false}, {"screenRecording", false}}));
}

TEST_F(LifecycleTest, CancelWithdrawsEveryPreparedActionOfTheAttemptAndItsCommit) {
  CancelToken commit;
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.prepared["p1"] = prepared("p1", "a");
    s.prepared["p2"] = prepared("p2", "a");
    s.prepared["p3"] = prepared("p3", "b");
    s.activeActions["a"] = commit;
  }
  EXPECT_EQ(answer("cancel", {{"attemptId", "zzz"}})["cancelled"], false);
  EXPECT_EQ(answer("cancel", {{"attemptId", "a"}})["cancelled"], true);
  EXPECT_TRUE(commit.isCancelled());
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    EXPECT_EQ(s.prepared.size(), 1u);
    EXPECT_TRUE(s.prepared.contains("p3"));
    EXPECT_EQ(s.activeActions.size(), 1u);  // the commit removes its own entry
  }
  EXPECT_EQ(answer("cancel")["code"], "bad_request");
  EXPECT_EQ(answer("cancel", {{"attemptId", std::string(161, 'x')}})["message"],
            "field attemptId required");
}

TEST_F(LifecycleTest, StopCancelsEverythingKeepsTheBindingAndWaitsForWorkToDrain) {
  CancelToken observation;
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.selected = Ident{5, "1", 9};
    s.prepared["p"] = prepared("p", "a");
    s.activeObservations["o"] = observation;
  }
  // With the clocks held, the drain time never runs out, however long the work takes to notice
  // its cancellation on a loaded machine. The work deregisters a moment after noticing.
  holdClocksForTests();
  std::thread worker([observation] {
    test::waitUntil([&] { return observation.isCancelled(); }, "the observation's cancellation");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.activeObservations.erase("o");
  });
  EXPECT_EQ(answer("stop")["stopped"], true);
  worker.join();
  EXPECT_EQ(stopEpoch().get(), 1);
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  EXPECT_TRUE(s.selected.has_value());
  EXPECT_TRUE(s.prepared.empty());
}

TEST_F(LifecycleTest, StopGivesUpOnceTheDrainTimeHasPassed) {
  CancelToken stuck;
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.activeActions["stuck"] = stuck;
  }
  // The work never drains. With the clocks held, stop waits while they stand still; they are
  // then moved on 10 ms at a time until it gives up, which it may only do once 0.45 s have
  // passed on them.
  holdClocksForTests();
  std::thread stopper([] { test::sendRequest("stop", "s"); });
  test::waitUntil([&] { return stuck.isCancelled(); }, "stop to cancel the work");
  EXPECT_FALSE(test::waitForMessages(1, 0.05)) << "stop gave up while no time passed";
  int steps = 0;
  const bool gaveUp = test::waitUntil(
      [&] {
        if (test::waitForMessages(1, 0.01)) return true;
        advanceClockForTests(std::chrono::milliseconds(10));
        ++steps;
        return false;
      },
      "stop to give up", 30);
  if (!gaveUp) {
    State& s = state();  // let the stuck stop end
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.activeActions.erase("stuck");
  }
  EXPECT_GE(steps, 45);
  Json reply = test::answerTo("s");
  stopper.join();
  test::expectRefusal(reply, "stop_timeout", "active helper work did not drain");
}

TEST_F(LifecycleTest, ShutdownClearsTheBindingAnswersAndExits) {
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.selected = Ident{5, "1", 9};
    s.leases["t"] = Lease{Ident{5, "1", 9}, "x", "y", wallAfter(30)};
  }
  test::sendRequest("shutdown", "bye");
  Json reply = test::answerTo("bye");
  EXPECT_EQ(reply, (Json{{"v", 1}, {"type", "shutdown"}, {"requestId", "bye"}, {"ok", true}}));
  EXPECT_EQ(test::recordedExit(), 0);
  EXPECT_EQ(stopEpoch().get(), 1);
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  EXPECT_FALSE(s.selected.has_value());
  EXPECT_TRUE(s.leases.empty());
}

TEST_F(LifecycleTest, ExpiredEntriesAreSweptBeforeTheNextRequestOfAnyType) {
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.prepared["old"] = prepared("old", "a", 30);
    s.prepared["young"] = prepared("young", "b", 60);
    s.leases["t"] = Lease{Ident{5, "1", 9}, "x", "y", wallAfter(30)};
  }
  advanceClockForTests(Seconds(30));
  answer("nonsense_type");  // refused by type, but after the sweep
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  EXPECT_FALSE(s.prepared.contains("old"));
  EXPECT_TRUE(s.prepared.contains("young"));
  EXPECT_TRUE(s.leases.empty());
}

}  // namespace
}  // namespace qcu
