// The pre-dispatch guard on the simulated desktop: the order of its checks, the events it sends
// before refusing, the hit test and the choice of the action point.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "actions/guards.h"
#include "binding/probe.h"
#include "desktop/accessibility.h"
#include "desktop/sim/sim.h"
#include "desktop/windows.h"
#include "session/state.h"
#include "support/harness.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using Json = nlohmann::json;
using test::appEntry;
using test::windowNode;
using test::windowRow;

constexpr std::int32_t PID = 4200;
constexpr std::uint32_t WIN = 101;
constexpr std::int32_t OTHER_PID = 4300;
constexpr std::uint32_t OTHER_WIN = 202;

class GuardsTest : public ::testing::Test {
 protected:
  Ident ident;
  CancelToken token;

  void SetUp() override {
    test::resetDesktopAndSession();
    test::resetHarness();
    Json children = Json::array({{{"id", "ok"},
                                  {"identifier", "ok"},
                                  {"role", "AXButton"},
                                  {"title", "OK"},
                                  {"position", {200, 100}},
                                  {"size", {80, 20}}},
                                 {{"id", "far"},
                                  {"identifier", "far"},
                                  {"role", "AXButton"},
                                  {"title", "Far"},
                                  {"position", {900, 100}},
                                  {"size", {80, 20}}},
                                 {{"id", "frameless"},
                                  {"identifier", "frameless"},
                                  {"role", "AXButton"},
                                  {"title", "None"}}});
    test::loadDesktop({{"apps",
                        {appEntry(PID, "notes", {windowNode(WIN, "Draft", children)}),
                         appEntry(OTHER_PID, "calc", {windowNode(OTHER_WIN, "Sums")})}},
                       {"windows",
                        {windowRow(WIN, PID, "Draft", {100, 80, 640, 480}),
                         windowRow(OTHER_WIN, OTHER_PID, "Sums", {300, 300, 400, 300})}}});
    ident = test::identOf(PID, WIN);
    test::takeMessages();
  }

  // A record as preparation leaves it, against the desktop as it is now.
  std::shared_ptr<Prepared> prepare() {
    drainForegroundEvents();
    auto prepared = std::make_shared<Prepared>();
    prepared->id = "prepared:test";
    prepared->attemptId = "a1";
    prepared->identity = ident;
    prepared->kind = "click";
    prepared->expected = probeExact(ident, true);
    prepared->stopEpoch = stopEpoch().get();
    prepared->foregroundEpoch = foregroundEpoch().get();
    return prepared;
  }

  void guard(const Prepared& prepared) {
    requireActionCurrent(prepared, prepared.expected.epoch, token);
  }

  // The guard refuses with code and message, after exactly the given event (none when empty).
  void expectRefusal(const Prepared& prepared, const std::string& code, const std::string& message,
                     const std::string& event = "", const std::string& detail = "") {
    try {
      guard(prepared);
      ADD_FAILURE() << "guard passed, expected " << code;
    } catch (const SafeError& error) {
      EXPECT_EQ(error.code(), code);
      EXPECT_EQ(error.message(), message);
    }
    auto messages = test::takeMessages();
    if (event.empty()) {
      EXPECT_TRUE(messages.empty()) << messages.front().dump();
      return;
    }
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["type"], "event");
    EXPECT_EQ(messages[0]["event"]["type"], event);
    EXPECT_EQ(messages[0]["event"]["detail"], detail);
    EXPECT_EQ(messages[0]["event"]["identity"], ident.object());
  }

  std::shared_ptr<const ElementEntry> entryFor(const std::string& node) {
    auto app = platformApplicationElement(PID);
    for (const auto& window : axChildren(*app)) {
      for (const auto& child : axChildren(window)) {
        if (axString(child, "AXIdentifier") == node) {
          auto entry = std::make_shared<ElementEntry>();
          entry->identity = ident;
          entry->element = child;
          entry->role = "AXButton";
          return entry;
        }
      }
    }
    ADD_FAILURE() << "no element " << node;
    return nullptr;
  }
};

TEST_F(GuardsTest, CancellationAndStopEndTheGuardBeforeItLooksAtTheDesktop) {
  auto prepared = prepare();
  auto calls = std::make_shared<std::atomic<int>>(0);
  sim::setHook([calls](const sim::Call&) { ++*calls; });
  test::controlDesktop({{"op", "lock"}});  // would fail later steps

  token.cancel();
  EXPECT_THROW(guard(*prepared), CancelledError);
  token = CancelToken();
  stopEpoch().update([](std::int64_t& epoch) { ++epoch; });
  EXPECT_THROW(guard(*prepared), CancelledError);

  EXPECT_EQ(calls->load(), 0);
  EXPECT_TRUE(test::takeMessages().empty());
}

TEST_F(GuardsTest, PassesOnAnUnchangedDesktopAndToleratesSubPointMoves) {
  auto prepared = prepare();
  EXPECT_NO_THROW(guard(*prepared));
  test::controlDesktop({{"op", "move"}, {"number", WIN}, {"bounds", {100.4, 80, 640, 480}}});
  EXPECT_NO_THROW(guard(*prepared));
  EXPECT_TRUE(test::takeMessages().empty());

  test::controlDesktop({{"op", "move"}, {"number", WIN}, {"bounds", {101, 80, 640, 480}}});
  expectRefusal(*prepared, "target_changed", "window geometry changed", "target-destroyed",
                "target geometry changed");
}

TEST_F(GuardsTest, AForegroundSwitchAndBackStillFails) {
  auto prepared = prepare();
  test::controlDesktop({{"op", "restack"}, {"number", OTHER_WIN}, {"to", 0}});
  drainForegroundEvents();
  test::controlDesktop({{"op", "restack"}, {"number", WIN}, {"to", 0}});
  expectRefusal(*prepared, "foreground_changed", "foreground changed after prepare", "focus-lost",
                "foreground changed after prepare");
}

TEST_F(GuardsTest, TargetGoneOrRetitled) {
  auto prepared = prepare();
  test::controlDesktop({{"op", "retitle"}, {"number", WIN}, {"title", "Draft 2"}});
  expectRefusal(*prepared, "target_title_changed", "selected window title changed before dispatch");

  prepared = prepare();
  test::controlDesktop({{"op", "close-window"}, {"number", WIN}});
  // The window list changes the front window: the record is made after that settles.
  drainForegroundEvents();
  prepared->foregroundEpoch = foregroundEpoch().get();
  try {
    guard(*prepared);
    ADD_FAILURE() << "guard passed on a closed window";
  } catch (const SafeError& error) {
    EXPECT_EQ(error.code(), "target_destroyed");
  }
  auto messages = test::takeMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]["event"]["type"], "target-destroyed");
  EXPECT_EQ(messages[0]["event"]["detail"], "exact target identity changed");
}

TEST_F(GuardsTest, LockIsReportedBeforeLostFocus) {
  // The other window is in front already when the action is prepared, so the foreground epoch
  // still matches and the later steps decide.
  test::controlDesktop({{"op", "restack"}, {"number", OTHER_WIN}, {"to", 0}});
  auto prepared = prepare();
  test::controlDesktop({{"op", "lock"}});
  expectRefusal(*prepared, "screen_locked", "interactive desktop unavailable", "screen-locked",
                "interactive desktop unavailable");
  test::controlDesktop({{"op", "unlock"}});
  expectRefusal(*prepared, "focus_lost", "exact target is not foreground", "focus-lost",
                "exact target is not foreground");
}

TEST_F(GuardsTest, UserInputSinceObservationFails) {
  auto prepared = prepare();
  test::controlDesktop({{"op", "input"}, {"types", {5}}});
  expectRefusal(*prepared, "hardware_input", "hardware input changed after observation",
                "hardware-input", "input epoch changed");
  // The helper's own synthetic input is not the user's.
  postInput(*makeMouseEvent(MouseEventType::Moved, {150, 90}));
  auto fresh = prepare();
  postInput(*makeMouseEvent(MouseEventType::Moved, {150, 90}));
  EXPECT_NO_THROW(guard(*fresh));
  EXPECT_EQ(sim::postedEvents().size(), 2u);
}

TEST_F(GuardsTest, HitTestWantsTheTargetInFrontAndOnTopAtThePoint) {
  auto prepared = prepare();
  EXPECT_NO_THROW(requireHitTest(*prepared, {150, 90}));
  // Outside the target the other window, or nothing, is on top.
  EXPECT_THROW(requireHitTest(*prepared, {650, 580}), SafeError);
  EXPECT_THROW(requireHitTest(*prepared, {50, 50}), SafeError);

  // A floating panel of a higher layer does not count; an ordinary one does.
  Json panel = windowRow(303, OTHER_PID, "Panel", {120, 85, 100, 100});
  panel["layer"] = 3;
  test::controlDesktop({{"op", "add-window"}, {"window", panel}});
  EXPECT_NO_THROW(requireHitTest(*prepared, {150, 90}));
  test::controlDesktop({{"op", "set-row"}, {"number", 303}, {"fields", {{"kCGWindowLayer", 0}}}});
  try {
    requireHitTest(*prepared, {150, 90});
    ADD_FAILURE() << "hit test passed under a panel";
  } catch (const SafeError& error) {
    EXPECT_EQ(error.code(), "hit_test_failed");
    EXPECT_EQ(error.message(), "point is not owned by exact foreground target");
  }
}

TEST_F(GuardsTest, ActionPointPrefersTheElementCentreInsideTheWindow) {
  auto prepared = prepare();
  prepared->point = Point{110, 90};
  Point centre = actionPoint(*prepared, entryFor("ok"));
  EXPECT_EQ(centre.x, 240);
  EXPECT_EQ(centre.y, 110);
  // Outside the observed window, or without a frame: the point chosen at preparation.
  Point fallback = actionPoint(*prepared, entryFor("far"));
  EXPECT_EQ(fallback.x, 110);
  EXPECT_EQ(actionPoint(*prepared, entryFor("frameless")).x, 110);
  EXPECT_EQ(actionPoint(*prepared, nullptr).y, 90);

  prepared->point.reset();
  try {
    actionPoint(*prepared, entryFor("far"));
    ADD_FAILURE() << "no point, yet one was chosen";
  } catch (const SafeError& error) {
    EXPECT_EQ(error.code(), "point_required");
    EXPECT_EQ(error.message(), "safe point unavailable");
  }
}

}  // namespace
}  // namespace qcu
