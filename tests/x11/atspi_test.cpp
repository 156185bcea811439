// The accessibility seam on real AT-SPI2: GTK widgets of the test application read, acted on and
// changed through it on the test's own virtual desktop.
#include <gtest/gtest.h>

#include <atspi/atspi-constants.h>

#include <set>

#include "desktop/accessibility.h"
#include "desktop/x11/atspi_tables.h"
#include "x11/atspi_support.h"

namespace qcu::test {
namespace {

using nlohmann::json;

struct Widget {
  json node;            // as the test application builds it
  std::string role;     // the role the seam must read
  std::string subrole;  // empty for none
};

// One widget of each kind GTK windows commonly hold, with the role each reads as.
const std::vector<Widget>& widgets() {
  static const std::vector<Widget> all = {
      {{{"id", "w-button"}, {"role", "AXButton"}, {"title", "Send"}}, "AXButton", ""},
      {{{"id", "w-check"}, {"role", "AXCheckBox"}, {"title", "Agree"}}, "AXCheckBox", ""},
      {{{"id", "w-toggle"}, {"role", "AXToggle"}, {"title", "Bold"}}, "AXCheckBox", "AXToggle"},
      {{{"id", "w-radio"}, {"role", "AXRadioButton"}, {"title", "Small"}}, "AXRadioButton", ""},
      {{{"id", "w-field"}, {"role", "AXTextField"}, {"value", "Ada"}}, "AXTextField", ""},
      {{{"id", "w-secret"}, {"role", "AXSecureTextField"}}, "AXSecureTextField", ""},
      {{{"id", "w-area"}, {"role", "AXTextArea"}, {"value", "one\ntwo"}}, "AXTextArea", ""},
      {{{"id", "w-label"}, {"role", "AXStaticText"}, {"value", "Hello"}}, "AXStaticText", ""},
      {{{"id", "w-group"}, {"role", "AXGroup"}, {"children", {{{"id", "w-inner"}}}}},
       "AXGroup",
       ""},
      {{{"id", "w-popup"}, {"role", "AXPopUpButton"}, {"options", {"Red", "Green"}}},
       "AXPopUpButton",
       ""},
      {{{"id", "w-combo"}, {"role", "AXComboBox"}, {"options", {"Cat", "Dog"}}}, "AXComboBox", ""},
      {{{"id", "w-slider"}, {"role", "AXSlider"}, {"value", 30}}, "AXSlider", ""},
      {{{"id", "w-spin"}, {"role", "AXIncrementor"}, {"value", 7}}, "AXIncrementor", ""},
      {{{"id", "w-progress"}, {"role", "AXProgressIndicator"}, {"value", 0.5}},
       "AXProgressIndicator",
       ""},
      {{{"id", "w-level"}, {"role", "AXLevelIndicator"}, {"value", 3}}, "AXLevelIndicator", ""},
      {{{"id", "w-tabs"}, {"role", "AXTabGroup"}}, "AXTabGroup", ""},
      {{{"id", "w-image"}, {"role", "AXImage"}}, "AXImage", ""},
      {{{"id", "w-rule"}, {"role", "AXSplitter"}}, "AXSplitter", ""},
      {{{"id", "w-menubar"}, {"role", "AXMenuBar"}}, "AXMenuBar", ""},
      {{{"id", "w-toolbar"}, {"role", "AXToolbar"}}, "AXToolbar", ""},
      {{{"id", "w-table"}, {"role", "AXTable"}}, "AXTable", ""},
  };
  return all;
}

json nodesOf(const std::vector<Widget>& list) {
  json nodes = json::array();
  for (const auto& widget : list)
    nodes.push_back(widget.node);
  return nodes;
}

using AtspiRolesTest = AtspiTest;

// Each widget reads as its role, and every AT-SPI role met on the way (tabs, cells, menus,
// scroll panes, the frame...) is a row of the table.
TEST_F(AtspiRolesTest, EveryWidgetReadsAsItsRole) {
  addNodes(*app, nodesOf(widgets()));
  for (const auto& widget : widgets()) {
    const std::string id = widget.node["id"];
    auto element = findElement(window, id);
    ASSERT_TRUE(element) << id << " not found";
    EXPECT_EQ(stringAttribute(*element, "AXRole"), widget.role) << id;
    EXPECT_EQ(stringAttribute(*element, "AXSubrole").value_or(""), widget.subrole) << id;
  }
  EXPECT_EQ(stringAttribute(window, "AXRole"), "AXWindow");
  EXPECT_EQ(stringAttribute(window, "AXSubrole"), "AXStandardWindow");

  // Everything under the window has a known role: the table misses nothing GTK shows here.
  std::vector<AXElement> queue{window};
  std::set<std::string> unknown;
  for (std::size_t i = 0; i < queue.size() && i < 2000; ++i) {
    auto role = stringAttribute(queue[i], "AXRole");
    ASSERT_TRUE(role) << "an element of the window has no role";
    if (*role == "AXUnknown")
      unknown.insert(stringAttribute(queue[i], "AXIdentifier").value_or("?"));
    for (const auto& child : axChildren(queue[i]))
      queue.push_back(child);
  }
  EXPECT_TRUE(unknown.empty()) << "unknown roles under " << *unknown.begin();
}

// What a table is checked against where GTK shows no such widget: each AT-SPI role once, known
// roles only, and a window role for every row that reads as a window.
TEST(AtspiRoleTable, RowsAreDistinctKnownRoles) {
  std::set<std::uint32_t> seen;
  for (const auto& row : x11::atspi::roleTable()) {
    EXPECT_TRUE(seen.insert(row.role).second) << "role " << row.role << " twice";
    EXPECT_GT(row.role, ATSPI_ROLE_INVALID);
    EXPECT_LT(row.role, ATSPI_ROLE_LAST_DEFINED);
    EXPECT_TRUE(row.axRole.starts_with("AX")) << row.axRole;
    EXPECT_EQ(x11::atspi::isWindowRole(row.role), row.axRole == "AXWindow") << row.axRole;
  }
  // A role the table does not hold reads as unknown, never as something actionable.
  EXPECT_EQ(x11::atspi::axRoleOf(ATSPI_ROLE_INVALID, 0, false), x11::atspi::UNKNOWN_ROLE);
  EXPECT_EQ(x11::atspi::axRoleOf(ATSPI_ROLE_LAST_DEFINED + 7, 0, false), x11::atspi::UNKNOWN_ROLE);
}

}  // namespace
}  // namespace qcu::test
