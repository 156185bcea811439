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

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::resetHarness();
    unsetenv("QUORVEL_CU_FORCE_NO_PERMISSIONS");
  }
  void TearDown() override { unsetenv("QUORVEL_CU_FORCE_NO_PERMISSIONS"); }

  Json answer(const std::string& type, const std::string& id, const Json& fields = Json::object()) {
    test::sendRequest(type, id, fields);
    auto messages = test::takeMessages();
    EXPECT_EQ(messages.size(), 1u);
    return messages.empty() ? Json() : messages[0];
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
  Json hello = answer("hello", "h1", {{"protocolVersion", 1}});
  EXPECT_EQ(hello["ok"], true);
  EXPECT_EQ(hello["protocolVersion"], 1);
  EXPECT_EQ(hello["helperVersion"], "2.9.1");
  EXPECT_EQ(hello["appVersion"], "2.9.93");
  EXPECT_TRUE(hello["inputMonitorReady"].is_boolean());
  EXPECT_TRUE(hello["platform"].is_string());
  EXPECT_TRUE(hello["permissions"]["accessibility"].is_boolean());
  EXPECT_TRUE(hello["permissions"]["screenRecording"].is_boolean());
  EXPECT_EQ(answer("hello", "h2", {{"protocolVersion", 1}, {"appVersion", ""}})["ok"], true);
  EXPECT_EQ(answer("hello", "h3", {{"protocolVersion", 1}, {"appVersion", 5}})["ok"], true);
  EXPECT_EQ(answer("hello", "h4", {{"protocolVersion", 1}, {"appVersion", "2.9.93"}})["ok"], true);
  EXPECT_EQ(answer("hello", "h5", {{"protocolVersion", 1}, {"appVersion", "2.9.92"}})["code"],
            "bad_app_version");
  EXPECT_EQ(answer("hello", "h6", {{"protocolVersion", 2}})["code"], "bad_version");
  EXPECT_EQ(answer("hello", "h7")["code"], "bad_version");
  EXPECT_EQ(answer("hello", "h8", {{"protocolVersion", "1"}})["code"], "bad_version");
}

TEST_F(LifecycleTest, HelloWithTheSwitchReportsNoPermissionsAndStillSucceeds) {
  setenv("QUORVEL_CU_FORCE_NO_PERMISSIONS", "1", 1);
  Json hello = answer("hello", "h", {{"protocolVersion", 1}});
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
  EXPECT_EQ(answer("cancel", "c1", {{"attemptId", "zzz"}})["cancelled"], false);
  EXPECT_EQ(answer("cancel", "c2", {{"attemptId", "a"}})["cancelled"], true);
  EXPECT_TRUE(commit.isCancelled());
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    EXPECT_EQ(s.prepared.size(), 1u);
    EXPECT_TRUE(s.prepared.contains("p3"));
    EXPECT_EQ(s.activeActions.size(), 1u);  // the commit removes its own entry
  }
  EXPECT_EQ(answer("cancel", "c3")["code"], "bad_request");
  EXPECT_EQ(answer("cancel", "c3b", {{"attemptId", std::string(161, 'x')}})["message"],
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
  // Work that notices its cancellation and deregisters after 100 ms.
  std::thread worker([observation] {
    while (!observation.isCancelled())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.activeObservations.erase("o");
  });
  EXPECT_EQ(answer("stop", "s1")["stopped"], true);
  worker.join();
  EXPECT_EQ(stopEpoch().get(), 1);
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  EXPECT_TRUE(s.selected.has_value());
  EXPECT_TRUE(s.prepared.empty());
}

TEST_F(LifecycleTest, StopTimesOutWhenWorkDoesNotDrain) {
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.activeActions["stuck"] = CancelToken();
  }
  auto started = std::chrono::steady_clock::now();
  Json reply = answer("stop", "s");
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(reply["code"], "stop_timeout");
  EXPECT_EQ(reply["message"], "active helper work did not drain");
  EXPECT_GE(waited, 0.44);
  EXPECT_LT(waited, 2.0);
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  EXPECT_TRUE(s.activeActions["stuck"].isCancelled());
}

TEST_F(LifecycleTest, ShutdownClearsTheBindingAnswersAndExits) {
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.selected = Ident{5, "1", 9};
    s.leases["t"] = Lease{Ident{5, "1", 9}, "x", "y", wallAfter(30)};
  }
  Json reply = answer("shutdown", "bye");
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
  answer("nonsense_type", "x");  // refused by type, but after the sweep
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  EXPECT_FALSE(s.prepared.contains("old"));
  EXPECT_TRUE(s.prepared.contains("young"));
  EXPECT_TRUE(s.leases.empty());
}

}  // namespace
}  // namespace qcu
