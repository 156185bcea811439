// The simulated desktop's posted log read over the control interface.
#include <gtest/gtest.h>

#include "desktop/platform.h"
#include "desktop/sim/sim.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using nlohmann::json;
using test::controlDesktop;

using SimEffectsTest = test::DesktopTest;

TEST_F(SimEffectsTest, PostedLogOverTheControlInterface) {
  auto source = *platformCreateInputSource();
  platformPostMouseEvent(source, MouseEventType::Moved, {10, 20.5}, 0);
  platformPostScrollWheel(source, -3, 1);
  platformPostKeyEvent(source, 36, true, 256);
  json expected = {{"id", "p"},
                   {"ok", true},
                   {"events",
                    {{{"type", "mouse-moved"}, {"x", 10.0}, {"y", 20.5}, {"clickCount", 0}},
                     {{"type", "wheel"},
                      {"x", 10.0},
                      {"y", 20.5},
                      {"verticalLines", -3},
                      {"horizontalLines", 1}},
                     {{"type", "key-down"}, {"keyCode", 36}, {"flags", 256}}}}};
  EXPECT_EQ(sim::control({{"op", "posted"}, {"id", "p"}}), expected);
  controlDesktop({{"op", "clear-posted"}});
  EXPECT_EQ(sim::control({{"op", "posted"}})["events"], json::array());
}

}  // namespace
}  // namespace qcu
