// The simulated window server's stacking on request: raising one window within its application,
// and closing a window together with its accessibility element.
#include <gtest/gtest.h>

#include "desktop/accessibility.h"
#include "desktop/windows.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using nlohmann::json;
using test::appEntry;
using test::windowNode;
using test::windowRow;

constexpr std::int32_t STACKED_NOTES = 4250;
constexpr std::int32_t STACKED_MAIL = 4251;

class SimStacking : public test::DesktopTest {
 protected:
  void SetUp() override {
    test::DesktopTest::SetUp();
    json plain = {{"id", "plain"}, {"title", "Loose"}};  // not tied to a row
    test::loadDesktop({{"apps",
                        {appEntry(STACKED_NOTES, "Notes",
                                  {windowNode(101, "Draft"), windowNode(102, "Outline"), plain}),
                         appEntry(STACKED_MAIL, "Mail", {windowNode(201, "Inbox")})}},
                       {"windows",
                        {windowRow(201, STACKED_MAIL, "Inbox", Rect{0, 0, 800, 600}),
                         windowRow(101, STACKED_NOTES, "Draft", Rect{50, 50, 500, 400}),
                         windowRow(301, STACKED_MAIL, "Other", Rect{10, 10, 300, 300}),
                         windowRow(102, STACKED_NOTES, "Outline", Rect{60, 60, 500, 400})}}});
  }

  static std::vector<std::uint32_t> order() {
    std::vector<std::uint32_t> ids;
    for (const auto& rec : cgWindows())
      ids.push_back(rec.id);
    return ids;
  }

  static AXElement element(std::uint32_t number) {
    auto snapshot = cgWindows();
    auto row =
        findWindow(snapshot, Ident{number / 100 == 2 ? STACKED_MAIL : STACKED_NOTES, "", number});
    auto window = row ? axWindowElement(*row) : std::nullopt;
    return window.value_or(AXElement{});
  }
};

TEST_F(SimStacking, RaiseBringsAWindowInFrontOfItsApplicationsOtherWindowsOnly) {
  // No "actions" were described: every window can be raised.
  EXPECT_TRUE(platformPerformAction(element(102), "AXRaise"));
  EXPECT_EQ(order(), (std::vector<std::uint32_t>{201, 102, 101, 301}));
  // Activation then brings the application's rows forward in that order.
  EXPECT_TRUE(platformActivateApplication(STACKED_NOTES));
  EXPECT_EQ(order(), (std::vector<std::uint32_t>{102, 101, 201, 301}));
  EXPECT_TRUE(platformPerformAction(element(101), "AXRaise"));
  EXPECT_EQ(order(), (std::vector<std::uint32_t>{101, 102, 201, 301}));
  // A window element tied to no row raises nothing; other actions still need to be listed.
  auto windows = axAttr(*platformApplicationElement(STACKED_NOTES), "AXWindows");
  auto loose = std::get<std::vector<AXElement>>(*windows).at(2);
  EXPECT_FALSE(platformPerformAction(loose, "AXRaise"));
  EXPECT_FALSE(platformPerformAction(element(101), "AXPress"));
  EXPECT_EQ(order(), (std::vector<std::uint32_t>{101, 102, 201, 301}));
}

TEST_F(SimStacking, CloseWindowRemovesTheRowAndItsElement) {
  AXElement draft = element(101);
  ASSERT_TRUE(draft);
  test::controlDesktop({{"op", "close-window"}, {"number", 101}});
  EXPECT_EQ(order(), (std::vector<std::uint32_t>{201, 301, 102}));
  EXPECT_EQ(axString(draft, "AXTitle"), std::nullopt);
  auto windows = axAttr(*platformApplicationElement(STACKED_NOTES), "AXWindows");
  EXPECT_EQ(std::get<std::vector<AXElement>>(*windows).size(), 2u);
  // A row without an application, by index.
  test::controlDesktop({{"op", "add-window"}, {"window", windowRow(900, 9999, "Stray", Rect{})}});
  test::controlDesktop({{"op", "close-window"}, {"index", 0}});
  EXPECT_EQ(order(), (std::vector<std::uint32_t>{201, 301, 102}));
}

}  // namespace
}  // namespace qcu
