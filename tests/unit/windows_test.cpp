#include "desktop/windows.h"

#include <gtest/gtest.h>

#include <thread>

#include "desktop/sim/sim.h"
#include "session/state.h"
#include "support/harness.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using nlohmann::json;
using test::DesktopTest;
using test::loadDesktop;
using test::windowRow;

class WindowListTest : public DesktopTest {};

TEST_F(WindowListTest, RowsWithoutAWholeNumberOrPidAreLeftOut) {
  loadDesktop({{"windows",
                {{{"pid", 10}, {"title", "no number"}},
                 {{"number", 1}, {"title", "no pid"}},
                 {{"number", "2"}, {"pid", 10}},
                 {{"number", 3}, {"pid", true}},
                 {{"number", 4.5}, {"pid", 10}},
                 {{"number", -4}, {"pid", 10}},
                 {{"number", 4294967296}, {"pid", 10}},  // would alias window 0 if cut to 32 bits
                 {{"number", 5}, {"pid", 2147483648}},
                 {{"number", 6.0}, {"pid", 10.0}, {"title", "kept"}},
                 {{"number", 4294967295u}, {"pid", -3}, {"title", "edges"}}}}});
  auto snapshot = cgWindows();
  ASSERT_EQ(snapshot.size(), 2u);
  EXPECT_EQ(snapshot[0].id, 6u);
  EXPECT_EQ(snapshot[0].pid, 10);
  EXPECT_EQ(snapshot[0].name, "kept");
  EXPECT_EQ(snapshot[1].id, 4294967295u);
  EXPECT_EQ(snapshot[1].pid, -3);
}

TEST_F(WindowListTest, UnreadableFieldsTakeTheirDefaults) {
  loadDesktop({{"windows",
                {{{"number", 1}, {"pid", 10}},
                 {{"number", 2},
                  {"pid", 10},
                  {"owner", 7},
                  {"title", false},
                  {"layer", "25"},
                  {"alpha", "0"},
                  {"bounds", {{"X", 1}, {"Y", 2}, {"Width", 3}}}},
                 {{"number", 3},
                  {"pid", 10},
                  {"owner", "Notes"},
                  {"title", "Draft"},
                  {"layer", 25.0},
                  {"alpha", 0},
                  {"bounds", {{"X", 1}, {"Y", 2}, {"Width", 3}, {"Height", true}}}},
                 {{"number", 4}, {"pid", 10}, {"layer", 2.5}, {"bounds", {1.5, -2, 300, 200}}}}}});
  auto snapshot = cgWindows();
  ASSERT_EQ(snapshot.size(), 4u);
  for (const auto& rec : {snapshot[0], snapshot[1]}) {
    EXPECT_EQ(rec.owner, "");
    EXPECT_EQ(rec.name, "");
    EXPECT_EQ(rec.layer, 0);
    EXPECT_EQ(rec.alpha, 1.0);
    EXPECT_EQ(rec.bounds.width, 0);
    EXPECT_EQ(rec.bounds.height, 0);
  }
  EXPECT_EQ(snapshot[2].owner, "Notes");
  EXPECT_EQ(snapshot[2].name, "Draft");
  EXPECT_EQ(snapshot[2].layer, 25);
  EXPECT_EQ(snapshot[2].alpha, 0.0);
  EXPECT_EQ(snapshot[2].bounds.x, 0);  // one unreadable component spoils the whole rectangle
  EXPECT_EQ(snapshot[3].layer, 0);
  EXPECT_EQ(snapshot[3].bounds.x, 1.5);
  EXPECT_EQ(snapshot[3].bounds.y, -2);
  EXPECT_EQ(snapshot[3].bounds.width, 300);
  EXPECT_EQ(snapshot[3].bounds.height, 200);
}

TEST_F(WindowListTest, AnythingButAListOfDictionariesIsAnEmptySnapshot) {
  loadDesktop({{"windows", {windowRow(1, 10, "A", {0, 0, 100, 100})}}});
  ASSERT_EQ(cgWindows().size(), 1u);

  test::controlDesktop({{"op", "set-window-list"},
                        {"replacement", json::array({windowRow(1, 10, "A", {0, 0, 1, 1}), 5})}});
  EXPECT_TRUE(cgWindows().empty());
  test::controlDesktop({{"op", "set-window-list"}, {"replacement", {{"rows", 1}}}});
  EXPECT_TRUE(cgWindows().empty());
  test::controlDesktop({{"op", "set-window-list"}, {"available", false}});
  EXPECT_TRUE(cgWindows().empty());
}

TEST(GeometryTest, RoundsHalvesAwayFromZero) {
  json object = geometryObject({10.5, -10.5, 99.4, 0.6});
  EXPECT_EQ(object, (json{{"left", 11}, {"top", -11}, {"width", 99}, {"height", 1}}));
  EXPECT_EQ(geometryObject({0.49999999999999994, -0.5, 2.5, -2.5}),
            (json{{"left", 0}, {"top", -1}, {"width", 3}, {"height", -3}}));
  EXPECT_TRUE(geometryObject({1e300, -1e300, 0, 0})["left"].is_number_integer());

  EXPECT_TRUE(sameGeometry({10.49, 0, 5, 5}, {10.0, 0, 5, 5}));
  EXPECT_FALSE(sameGeometry({10.5, 0, 5, 5}, {10.0, 0, 5, 5}));
  EXPECT_FALSE(sameGeometry({0, 0, 5, 5}, {0, 0, 5, 5.5}));
}

std::vector<WinRec> rows(std::initializer_list<WinRec> list) {
  return list;
}

WinRec rec(std::uint32_t id, Rect bounds, std::int64_t layer = 0, double alpha = 1.0,
           std::int32_t pid = 10) {
  WinRec r;
  r.id = id;
  r.pid = pid;
  r.bounds = bounds;
  r.layer = layer;
  r.alpha = alpha;
  return r;
}

TEST(FrontWindowTest, SkipsWhatIsNotAnOrdinaryVisibleWindow) {
  auto snapshot =
      rows({rec(1, {0, 0, 800, 600}, 25), rec(2, {0, 0, 800, 600}, 0, 0.01), rec(3, {0, 0, 1, 600}),
            rec(4, {0, 0, 600, 1}), rec(5, {0, 0, 800, 600}), rec(6, {0, 0, 800, 600})});
  EXPECT_EQ(frontWindowID(snapshot), 5u);
  EXPECT_EQ(frontWindowID({}), 0u);
  EXPECT_EQ(frontWindowID(rows({rec(7, {0, 0, 10, 10}, 0, 0.0101)})), 7u);
}

TEST(TopWindowTest, ContainmentIsHalfOpen) {
  auto snapshot =
      rows({rec(1, {100, 100, 50, 50}, 3), rec(2, {100, 100, 50, 50}), rec(3, {0, 0, 1000, 1000})});
  EXPECT_EQ(topWindowAt(snapshot, {100, 100}), 2u);  // left and top edges are inside
  EXPECT_EQ(topWindowAt(snapshot, {150, 120}), 3u);  // the right edge is not
  EXPECT_EQ(topWindowAt(snapshot, {120, 150}), 3u);  // nor the bottom edge
  EXPECT_EQ(topWindowAt(snapshot, {2000, 0}), 0u);
  // No minimum size applies, and a negative extent still covers its area.
  EXPECT_EQ(topWindowAt(rows({rec(4, {5, 5, 1, 1})}), {5.5, 5.5}), 4u);
  EXPECT_EQ(topWindowAt(rows({rec(5, {50, 50, -20, -20})}), {40, 40}), 5u);
}

TEST(FindWindowTest, NeedsWindowNumberAndProcess) {
  auto snapshot = rows({rec(1, {0, 0, 10, 10}, 0, 1.0, 10), rec(2, {0, 0, 10, 10}, 0, 1.0, 11),
                        rec(2, {5, 5, 10, 10}, 9, 0.0, 10)});
  EXPECT_FALSE(findWindow(snapshot, Ident{11, "1", 1}));
  auto found = findWindow(snapshot, Ident{10, "ignored", 2});
  ASSERT_TRUE(found);
  EXPECT_EQ(found->layer, 9);  // not filtered by layer, alpha or size
}

class ForegroundEpochTest : public DesktopTest {};

TEST_F(ForegroundEpochTest, CountsChangesOfTheFrontWindow) {
  loadDesktop(
      {{"windows",
        {windowRow(1, 10, "A", {0, 0, 500, 500}), windowRow(2, 11, "B", {0, 0, 500, 500})}}});
  drainForegroundEvents();
  EXPECT_EQ(foregroundEpoch().get(), 1);  // 0 -> window 1
  drainForegroundEvents();
  EXPECT_EQ(foregroundEpoch().get(), 1);
  {
    std::lock_guard<std::recursive_mutex> guard(state().lock);
    EXPECT_EQ(state().lastFrontWindow, 1u);
  }

  // A switch away and back between two drains is not seen.
  test::controlDesktop({{"op", "restack"}, {"number", 2}});
  test::controlDesktop({{"op", "restack"}, {"number", 1}});
  drainForegroundEvents();
  EXPECT_EQ(foregroundEpoch().get(), 1);

  test::controlDesktop({{"op", "restack"}, {"number", 2}});
  drainForegroundEvents();
  EXPECT_EQ(foregroundEpoch().get(), 2);

  // From a window to none counts as a change.
  test::controlDesktop({{"op", "set-window-list"}, {"available", false}});
  drainForegroundEvents();
  EXPECT_EQ(foregroundEpoch().get(), 3);
  std::lock_guard<std::recursive_mutex> guard(state().lock);
  EXPECT_EQ(state().lastFrontWindow, 0u);
}

TEST_F(ForegroundEpochTest, ReadsTheWindowListBeforeTakingAnyLock) {
  loadDesktop({{"windows", {windowRow(1, 10, "A", {0, 0, 500, 500})}}});
  // Another thread takes the session lock while the window list is asked for: it can only when
  // the list is not read under the lock (and waiting for it outright would deadlock).
  bool listed = false;
  sim::setHook([&](const sim::Call& call) {
    if (call.function != "platformWindowList") return;
    std::thread other([&] {
      auto& lock = state().lock;
      listed = test::waitUntil([&] { return lock.try_lock(); },
                               "the session lock, which the window list must not be read under", 5);
      if (listed) lock.unlock();
    });
    other.join();
  });
  drainForegroundEvents();
  EXPECT_TRUE(listed);
  EXPECT_EQ(foregroundEpoch().get(), 1);
}

}  // namespace
}  // namespace qcu
