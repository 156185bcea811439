#include "desktop/accessibility.h"

#include <gtest/gtest.h>

#include <chrono>

#include "desktop/sim/sim.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using nlohmann::json;
using test::appEntry;
using test::controlDesktop;
using test::loadDesktop;
using test::windowNode;
using test::windowRow;

using test::TARGET_PID;

class AccessibilityTest : public test::DesktopTest {
 protected:
  AXElement app() {
    auto element = platformApplicationElement(TARGET_PID);
    if (!element) throw std::runtime_error("no application element");
    return *element;
  }
  AXElement windowAt(std::size_t index) {
    auto windows = axAttr(app(), "AXWindows");
    return std::get<std::vector<AXElement>>(*windows).at(index);
  }
  WinRec record(std::uint32_t id, Rect bounds, std::string name = "") {
    WinRec rec;
    rec.id = id;
    rec.pid = TARGET_PID;
    rec.bounds = bounds;
    rec.name = std::move(name);
    return rec;
  }
};

TEST_F(AccessibilityTest, ReadersTurnTypeMismatchesIntoNoValue) {
  json field = {{"id", "field"},
                {"role", "AXTextField"},
                {"title", ""},
                {"value", 5},
                {"enabled", true},
                {"selected", 0},
                {"position", {10, 20}},
                {"size", "wide"},
                {"actions", {"AXPress", "AXConfirm"}},
                {"settable", {"AXValue"}},
                {"attributes",
                 {{"AXHalf", 0.5},
                  {"AXText", "yes"},
                  {"AXPointAsSize", {{"size", {1, 2}}}},
                  {"AXNoValue", nullptr}}}};
  loadDesktop({{"apps", {appEntry(TARGET_PID, "Notes", {windowNode(1, "Doc", {field})})}}});
  AXElement element = axChildren(windowAt(0)).at(0);

  EXPECT_EQ(axString(element, "AXTitle"), "");  // an empty string is a string
  EXPECT_EQ(axString(element, "AXRole"), "AXTextField");
  EXPECT_FALSE(axString(element, "AXValue"));
  EXPECT_FALSE(axString(element, "AXMissing"));
  EXPECT_FALSE(axString(element, "AXNoValue"));

  EXPECT_EQ(axBool(element, "AXEnabled"), true);
  EXPECT_EQ(axBool(element, "AXSelected"), false);  // the number 0
  EXPECT_EQ(axBool(element, "AXValue"), true);      // the number 5
  EXPECT_EQ(axBool(element, "AXHalf"), true);
  EXPECT_FALSE(axBool(element, "AXText"));

  auto position = axPoint(element, "AXPosition");
  ASSERT_TRUE(position);
  EXPECT_EQ(position->x, 10);
  EXPECT_EQ(position->y, 20);
  EXPECT_FALSE(axPoint(element, "AXPointAsSize"));
  EXPECT_TRUE(axSize(element, "AXPointAsSize"));
  EXPECT_FALSE(axSize(element, "AXSize"));
  EXPECT_FALSE(axFrame(element));  // position readable, size not

  EXPECT_EQ(axActions(element), (std::vector<std::string>{"AXPress", "AXConfirm"}));
  EXPECT_TRUE(axSettable(element, "AXValue"));
  EXPECT_FALSE(axSettable(element, "AXTitle"));
  EXPECT_TRUE(axChildren(element).empty());

  controlDesktop(test::setAttribute(TARGET_PID, "field", "AXChildren", "not a list"));
  EXPECT_TRUE(axChildren(element).empty());

  // A removed element reads as nothing at all.
  controlDesktop({{"op", "remove-node"}, {"pid", TARGET_PID}, {"node", "field"}});
  EXPECT_FALSE(axString(element, "AXRole"));
  EXPECT_TRUE(axActions(element).empty());
  EXPECT_FALSE(axSettable(element, "AXValue"));
  EXPECT_TRUE(axChildren(windowAt(0)).empty());
}

TEST_F(AccessibilityTest, HungApplicationAnswersNothingAfterTheTimeout) {
  loadDesktop({{"apps", {appEntry(TARGET_PID, "Notes", {windowNode(1, "Doc")})}},
               {"windows", {windowRow(1, TARGET_PID, "Doc", {0, 0, 400, 300})}}});
  AXElement window = windowAt(0);
  platformSetMessagingTimeout(0.2);
  controlDesktop({{"op", "set-app"}, {"pid", TARGET_PID}, {"delay", 0.05}});
  EXPECT_EQ(axString(window, "AXTitle"), "Doc");  // slow but within the timeout

  controlDesktop({{"op", "hang"}, {"pid", TARGET_PID}});
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(axString(window, "AXTitle"));
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_GE(waited, 0.15);
  EXPECT_LT(waited, 5.0);  // the timeout, not for ever (with seconds of slack)
  EXPECT_FALSE(axWindowElement(record(1, {0, 0, 400, 300})));

  controlDesktop({{"op", "recover"}, {"pid", TARGET_PID}});
  EXPECT_TRUE(axWindowElement(record(1, {0, 0, 400, 300})));
}

TEST_F(AccessibilityTest, WindowNumberPassWinsOverEqualFrames) {
  loadDesktop(
      {{"apps",
        {appEntry(TARGET_PID, "Notes", {windowNode(101, "First"), windowNode(102, "Second")})}},
       {"windows",
        {windowRow(101, TARGET_PID, "First", {0, 0, 400, 300}),
         windowRow(102, TARGET_PID, "Second", {0, 0, 400, 300})}}});
  auto found = axWindowElement(record(102, {0, 0, 400, 300}));
  ASSERT_TRUE(found);
  EXPECT_TRUE(platformSameElement(*found, windowAt(1)));

  // Without the lookup the same frames are ambiguous.
  controlDesktop({{"op", "set-window-number-lookup"}, {"available", false}});
  EXPECT_FALSE(axWindowElement(record(102, {0, 0, 400, 300})));
  EXPECT_FALSE(axWindowElement(record(102, {1.5, -2, 401, 298})));
}

TEST_F(AccessibilityTest, GeometricPassAllowsTwoPoints) {
  json windows = {{{"title", "Plain"}, {"position", {100, 100}}, {"size", {400, 300}}},
                  {{"title", "Unreadable"}, {"position", nullptr}, {"size", {400, 300}}}};
  loadDesktop({{"apps", {appEntry(TARGET_PID, "Notes", windows)}}});
  // The lookup exists but knows none of these elements: the geometric pass decides.
  auto found = axWindowElement(record(7, {102, 98, 402, 298}));
  ASSERT_TRUE(found);
  EXPECT_TRUE(platformSameElement(*found, windowAt(0)));
  EXPECT_FALSE(axWindowElement(record(7, {103, 100, 400, 300})));
  EXPECT_FALSE(axWindowElement(record(7, {100, 100, 400, 302.5})));
}

TEST_F(AccessibilityTest, UnreadableWindowListYieldsNothing) {
  for (json value : {json(nullptr), json("AXWindow"), json::array()}) {
    SCOPED_TRACE(value.dump());
    json app = appEntry(TARGET_PID, "Notes", {windowNode(1, "Doc")});
    app["attributes"] = {{"AXWindows", value}};
    loadDesktop(
        {{"apps", {app}}, {"windows", {windowRow(1, TARGET_PID, "Doc", {0, 0, 400, 300})}}});
    EXPECT_FALSE(axWindowElement(record(1, {0, 0, 400, 300})));
  }
  loadDesktop({{"windows", {windowRow(1, TARGET_PID, "Doc", {0, 0, 400, 300})}}});
  EXPECT_FALSE(axWindowElement(record(1, {0, 0, 400, 300})));  // no application at all
}

TEST_F(AccessibilityTest, ResolveTitlePrefersTheWindowListTitle) {
  json windows = {windowNode(1, "Report"), windowNode(2, ""),
                  windowNode(3, "\xEF\xBC\xB2\xEF\xBD\x85port  draft")};  // full-width "Re"
  loadDesktop({{"apps", {appEntry(TARGET_PID, "Notes", windows)}}});
  AXElement report = windowAt(0);

  EXPECT_EQ(resolveTitle(record(1, {}, "  Report  "), report), "Report");
  // A white-space title is not empty: it wins and normalises to nothing.
  EXPECT_EQ(resolveTitle(record(1, {}, "   "), report), "");
  EXPECT_EQ(resolveTitle(record(1, {}, ""), report), "Report");
  EXPECT_EQ(resolveTitle(record(1, {}, ""), windowAt(2)), "Report draft");
  EXPECT_EQ(resolveTitle(record(2, {}, ""), windowAt(1)), "");
  EXPECT_EQ(resolveTitle(record(1, {}, ""), std::nullopt), "");
}

}  // namespace
}  // namespace qcu
