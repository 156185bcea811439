// The owner monitor's tick on the simulated desktop: events about the bound window, sent once
// per change, and the owner check.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "desktop/platform.h"
#include "runtime/monitor.h"
#include "session/state.h"
#include "support/harness.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using test::appEntry;
using test::Json;
using test::windowNode;
using test::windowRow;

constexpr std::int32_t OWNER = 900;
constexpr std::uint64_t OWNER_START = 1'600'000'000ull * 10'000'000ull;
constexpr std::int32_t NOTES = 4900;
constexpr std::int32_t MAIL = 4901;

class OwnerMonitorEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    test::resetHarness();
    test::loadDesktop({{"processes", {{{"pid", OWNER}, {"startSeconds", 1'600'000'000}}}},
                       {"apps",
                        {appEntry(NOTES, "Notes", {windowNode(101, "Draft")}),
                         appEntry(MAIL, "Mail", {windowNode(201, "Inbox")})}},
                       {"windows",
                        {windowRow(201, MAIL, "Inbox", Rect{0, 0, 800, 600}),
                         windowRow(101, NOTES, "Draft", Rect{50, 50, 500, 400})}}});
    monitor_ = initialMonitorState(OWNER, OWNER_START);
  }
  void TearDown() override { test::resetHarness(); }

  static void bind(std::optional<Ident> ident) {
    std::lock_guard<std::recursive_mutex> guard(state().lock);
    state().selected = std::move(ident);
  }

  // Runs ticks and returns the events they sent, as "type: detail".
  std::vector<std::string> tick(int count = 1) {
    for (int i = 0; i < count; ++i)
      monitorTick(monitor_);
    std::vector<std::string> events;
    for (const auto& message : test::takeMessages()) {
      EXPECT_EQ(message["type"], "event");
      const Json& event = message["event"];
      EXPECT_EQ(event["identity"], bound_.object()) << message;
      events.push_back(event["type"].get<std::string>() + ": " +
                       event["detail"].get<std::string>());
    }
    return events;
  }

  void bindNotes() {
    bound_ = test::identOf(NOTES, 101);
    bind(bound_);
  }

  static void control(const Json& command) { test::controlDesktop(command); }

  MonitorState monitor_;
  Ident bound_;
};

using Events = std::vector<std::string>;

TEST_F(OwnerMonitorEvents, OneTargetDestroyedPerDisappearance) {
  bindNotes();
  EXPECT_EQ(tick(), Events{});
  control({{"op", "close-window"}, {"number", 101}});
  EXPECT_EQ(tick(4), Events{"target-destroyed: selected window is gone"});
  // The window comes back, and goes again: reported again.
  control({{"op", "add-window"}, {"window", windowRow(101, NOTES, "Draft", Rect{0, 0, 90, 90})}});
  EXPECT_EQ(tick(2), Events{});
  control({{"op", "remove-window"}, {"number", 101}});
  EXPECT_EQ(tick(3), Events{"target-destroyed: selected window is gone"});
}

TEST_F(OwnerMonitorEvents, FocusLostOnlyAfterTheWindowWasInFront) {
  bindNotes();
  // Never in front: switching between other windows says nothing.
  control({{"op", "add-window"}, {"window", windowRow(301, MAIL, "Other", Rect{0, 0, 90, 90})}});
  EXPECT_EQ(tick(2), Events{});
  control({{"op", "restack"}, {"number", 201}, {"to", 0}});
  EXPECT_EQ(tick(), Events{});
  // In front, then not: one event per switch away.
  for (int round = 0; round < 2; ++round) {
    control({{"op", "restack"}, {"number", 101}, {"to", 0}});
    EXPECT_EQ(tick(2), Events{});
    control({{"op", "restack"}, {"number", 201}, {"to", 0}});
    EXPECT_EQ(tick(3), Events{"focus-lost: selected window lost the foreground"});
  }
  // A window that vanishes while in front is destroyed, not unfocused.
  control({{"op", "restack"}, {"number", 101}, {"to", 0}});
  EXPECT_EQ(tick(), Events{});
  control({{"op", "close-window"}, {"number", 101}});
  EXPECT_EQ(tick(), Events{"target-destroyed: selected window is gone"});
}

TEST_F(OwnerMonitorEvents, HardwareInputOnlyWhileBound) {
  control({{"op", "input"}, {"types", {10, 11}}});
  EXPECT_EQ(tick(2), Events{});
  bindNotes();
  // The epoch seen at the last unbound tick is the reference.
  EXPECT_EQ(tick(), Events{});
  control({{"op", "input"}, {"types", {10, 11}}});
  EXPECT_EQ(tick(3), Events{"hardware-input: input epoch changed"});
  control({{"op", "input"}, {"types", {5}}, {"count", 3}});
  EXPECT_EQ(tick(), Events{"hardware-input: input epoch changed"});
  // Unbinding forgets it: input while unbound is not reported after the next binding.
  bind(std::nullopt);
  control({{"op", "input"}, {"types", {1, 2}}});
  EXPECT_EQ(tick(), Events{});
  bindNotes();
  EXPECT_EQ(tick(), Events{});
}

TEST_F(OwnerMonitorEvents, ScreenLockedOncePerLocking) {
  bindNotes();
  EXPECT_EQ(tick(), Events{});
  control({{"op", "lock"}});
  EXPECT_EQ(tick(3), Events{"screen-locked: interactive desktop unavailable"});
  control({{"op", "unlock"}});
  EXPECT_EQ(tick(), Events{});
  control({{"op", "lock"}});
  EXPECT_EQ(tick(), Events{"screen-locked: interactive desktop unavailable"});
}

TEST_F(OwnerMonitorEvents, WasInFrontStartsAfreshWithAnotherWindowAndWhenUnbound) {
  bindNotes();
  control({{"op", "restack"}, {"number", 101}, {"to", 0}});
  EXPECT_EQ(tick(), Events{});
  // Another window bound while one is bound starts without "was in front": it never was.
  bound_ = test::identOf(MAIL, 201);
  bind(bound_);
  EXPECT_EQ(tick(), Events{});
  // After a tick without a binding, it does not.
  bindNotes();
  EXPECT_EQ(tick(), Events{});
  bind(std::nullopt);
  EXPECT_EQ(tick(), Events{});
  bound_ = test::identOf(MAIL, 201);
  bind(bound_);
  EXPECT_EQ(tick(), Events{});
}

TEST_F(OwnerMonitorEvents, CountsFrontWindowChangesOnEveryTick) {
  EXPECT_EQ(tick(), Events{});
  std::int64_t epoch = foregroundEpoch().get();
  EXPECT_EQ(tick(), Events{});
  EXPECT_EQ(foregroundEpoch().get(), epoch);
  control({{"op", "restack"}, {"number", 101}, {"to", 0}});
  EXPECT_EQ(tick(), Events{});
  EXPECT_EQ(foregroundEpoch().get(), epoch + 1);
}

TEST_F(OwnerMonitorEvents, EndsTheProcessOnTheFifthTickAfterTheOwnerWentAway) {
  bindNotes();
  {
    std::lock_guard<std::recursive_mutex> guard(state().lock);
    state().leases["candidate-lease:x"] = Lease{bound_, "Draft", "f", wallAfter(30)};
  }
  EXPECT_EQ(tick(5), Events{});
  EXPECT_EQ(test::recordedExit(), std::nullopt);
  control({{"op", "set-process"}, {"pid", OWNER}, {"alive", false}});
  tick(4);
  EXPECT_EQ(test::recordedExit(), std::nullopt);
  tick();
  EXPECT_EQ(test::recordedExit(), 0);
  std::lock_guard<std::recursive_mutex> guard(state().lock);
  EXPECT_TRUE(state().leases.empty());
}

TEST_F(OwnerMonitorEvents, TicksBesideBindingRequests) {
  // The monitor ticks on its own thread while the reader thread lists, binds and focuses.
  std::atomic<bool> running{true};
  std::atomic<int> ticks{0};
  std::thread monitor([&] {
    while (running) {
      monitorTick(monitor_);
      ++ticks;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  auto waitTicks = [&](int count) {
    int target = ticks + count;
    test::waitUntil([&] { return ticks >= target; }, std::to_string(count) + " more ticks");
  };
  test::sendRequest("list_candidates", "l");
  Json listing = test::takeMessages().at(0);
  Json draft = listing["candidates"][1];
  test::sendRequest("probe_binding", "p",
                    {{"identity", draft["identity"]}, {"candidateToken", draft["candidateToken"]}});
  test::sendRequest("focus_binding", "f", {{"identity", draft["identity"]}});
  waitTicks(3);
  control({{"op", "close-window"}, {"number", 101}});
  waitTicks(5);
  running = false;
  monitor.join();

  std::vector<std::string> seen;
  for (const auto& message : test::takeMessages()) {
    if (message["type"] == "event") {
      seen.push_back(message["event"]["type"]);
      EXPECT_EQ(message["event"]["identity"], draft["identity"]);
    } else {
      EXPECT_EQ(message["ok"], true) << message;
      seen.push_back(message["requestId"]);
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"p", "f", "target-destroyed"}));
}

TEST_F(OwnerMonitorEvents, ANewlyBoundWindowKeepsOnlyTheLockMemory) {
  bindNotes();
  control({{"op", "restack"}, {"number", 101}, {"to", 0}});
  control({{"op", "lock"}});
  EXPECT_EQ(tick(), Events{"screen-locked: interactive desktop unavailable"});
  // Mail, behind Notes, is bound: neither its foreground nor the screen lock is news.
  bound_ = test::identOf(MAIL, 201);
  bind(bound_);
  EXPECT_EQ(tick(2), Events{});
  // Once Mail has been in front, leaving the front is reported.
  control({{"op", "restack"}, {"number", 201}, {"to", 0}});
  EXPECT_EQ(tick(), Events{});
  control({{"op", "restack"}, {"number", 101}, {"to", 0}});
  EXPECT_EQ(tick(), Events{"focus-lost: selected window lost the foreground"});
}

}  // namespace
}  // namespace qcu
