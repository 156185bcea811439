// The simulated desktop's log of posted synthetic input.
#include <gtest/gtest.h>

#include "desktop/platform.h"
#include "desktop/signals.h"
#include "desktop/sim/sim.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using SimInputTest = test::DesktopTest;

TEST_F(SimInputTest, LogsEveryEventInOrderWithoutCountingItAsTheUsers) {
  auto source = platformCreateInputSource();
  ASSERT_TRUE(source.has_value());
  EXPECT_TRUE(platformPostEvent(
      *source, *platformMakeMouseEvent(*source, MouseEventType::Moved, {10, 20}, 0)));
  EXPECT_TRUE(platformPostEvent(
      *source, *platformMakeMouseEvent(*source, MouseEventType::LeftDown, {10.5, 20}, 1)));
  EXPECT_TRUE(platformPostEvent(*source, *platformMakeScrollWheel(*source, -3, 3)));
  EXPECT_TRUE(platformPostEvent(*source, *platformMakeKeyEvent(*source, 0, true, 0x100000)));
  EXPECT_TRUE(platformPostEvent(*source, *platformMakeKeyEvent(*source, 0, false, 0x100000)));

  auto events = sim::postedEvents();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].type, "mouse-moved");
  EXPECT_EQ(events[1].type, "left-down");
  EXPECT_EQ(events[1].clickCount, 1);
  EXPECT_EQ(events[2].type, "wheel");
  EXPECT_EQ(events[2].point.x, 10.5);  // where the pointer was left
  EXPECT_EQ(events[2].verticalLines, -3);
  EXPECT_EQ(events[2].horizontalLines, 3);
  EXPECT_EQ(events[3].type, "key-down");
  EXPECT_EQ(events[4].type, "key-up");
  EXPECT_EQ(events[4].flags, 0x100000u);
  EXPECT_EQ(userInputEpoch(), 0);

  // No source: nothing is made or posted.
  EXPECT_FALSE(platformMakeKeyEvent(InputSource{}, 0, true, 0));
  EXPECT_FALSE(platformPostEvent(InputSource{}, *platformMakeKeyEvent(*source, 0, true, 0)));
  sim::reset();
  EXPECT_TRUE(sim::postedEvents().empty());
}

}  // namespace
}  // namespace qcu
