// The accessibility seam on real AT-SPI2: GTK widgets of the test application read, acted on and
// changed through it on the test's own virtual desktop.
#include <gtest/gtest.h>

#include <atspi/atspi-constants.h>

#include <algorithm>
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

using AtspiAttributesTest = AtspiTest;

std::optional<AXValue> attributeOf(const AXElement& root, const std::string& id,
                                   std::string_view name) {
  auto element = findElement(root, id);
  if (!element) return std::nullopt;
  return platformCopyAttribute(*element, name);
}

// Attributes read back as the application set them, each of its own type.
TEST_F(AtspiAttributesTest, AttributesReadAsTheApplicationSetThem) {
  addNodes(
      *app,
      json::array({
          {{"id", "a-field"},
           {"role", "AXTextField"},
           {"value", "Ada"},
           {"placeholder", "Your name"},
           {"description", "Name of the sender"}},
          {{"id", "a-check"}, {"role", "AXCheckBox"}, {"title", "Agree"}, {"value", 1}},
          {{"id", "a-toggle"}, {"role", "AXToggle"}, {"title", "Bold"}},
          {{"id", "a-slider"}, {"role", "AXSlider"}, {"value", 30}},
          {{"id", "a-popup"}, {"role", "AXPopUpButton"}, {"options", {"Red", "Green"}}},
          {{"id", "a-label"}, {"role", "AXStaticText"}, {"value", "Hello"}},
          {{"id", "a-off"}, {"role", "AXButton"}, {"title", "Off"}, {"enabled", false}},
          {{"id", "a-send"}, {"role", "AXButton"}, {"title", "Send"}, {"identifier", "send-id"}},
      }));
  struct Case {
    std::string id;
    std::string attribute;
    AXValue expected;
  };
  const std::vector<Case> cases = {
      {"a-field", "AXValue", std::string("Ada")},
      {"a-field", "AXPlaceholderValue", std::string("Your name")},
      {"a-field", "AXDescription", std::string("Name of the sender")},
      {"a-field", "AXEnabled", true},
      {"a-check", "AXValue", std::int64_t{1}},
      {"a-check", "AXTitle", std::string("Agree")},
      {"a-toggle", "AXValue", std::int64_t{0}},
      {"a-slider", "AXValue", 30.0},
      {"a-popup", "AXValue", std::string("Red")},
      {"a-label", "AXValue", std::string("Hello")},
      {"a-off", "AXEnabled", false},
      {"send-id", "AXTitle", std::string("Send")},
  };
  for (const auto& c : cases) {
    auto value = attributeOf(window, c.id, c.attribute);
    ASSERT_TRUE(value) << c.id << " " << c.attribute << " has no value";
    EXPECT_EQ(value->index(), c.expected.index()) << c.id << " " << c.attribute;
    if (auto* text = std::get_if<std::string>(&c.expected)) {
      EXPECT_EQ(std::get<std::string>(*value), *text) << c.id << " " << c.attribute;
    } else if (auto* flag = std::get_if<bool>(&c.expected)) {
      EXPECT_EQ(std::get<bool>(*value), *flag) << c.id << " " << c.attribute;
    } else if (auto* integer = std::get_if<std::int64_t>(&c.expected)) {
      EXPECT_EQ(std::get<std::int64_t>(*value), *integer) << c.id << " " << c.attribute;
    } else {
      EXPECT_DOUBLE_EQ(std::get<double>(*value), std::get<double>(c.expected)) << c.id;
    }
  }

  // Geometry: the button lies within its window, which the common code finds by pid and bounds.
  auto send = findElement(window, "send-id");
  ASSERT_TRUE(send);
  auto frame = axFrame(*send);
  auto windowFrame = axFrame(window);
  ASSERT_TRUE(frame && windowFrame);
  EXPECT_GT(frame->width, 0);
  EXPECT_GE(frame->x, windowFrame->x);
  EXPECT_LE(frame->y + frame->height, windowFrame->y + windowFrame->height);
  auto row = rowOf(cgWindows(), app->windows[0]["xid"].get<Window>());
  ASSERT_TRUE(row);
  auto matched = axWindowElement(*row);
  ASSERT_TRUE(matched) << "the window element does not match its window-list row";
  EXPECT_TRUE(platformSameElement(*matched, window));
  EXPECT_FALSE(platformSameElement(*matched, *send));

  // Actions and settable attributes.
  auto actions = [&](const std::string& id) {
    auto element = findElement(window, id);
    return element ? axActions(*element) : std::vector<std::string>{};
  };
  auto has = [](const std::vector<std::string>& list, const char* name) {
    return std::find(list.begin(), list.end(), name) != list.end();
  };
  EXPECT_TRUE(has(actions("send-id"), "AXPress"));
  EXPECT_TRUE(has(actions("a-check"), "AXPress"));
  EXPECT_FALSE(has(actions("a-label"), "AXPress"));
  EXPECT_TRUE(has(axActions(window), "AXRaise"));
  EXPECT_TRUE(axSettable(*findElement(window, "a-field"), "AXValue"));
  EXPECT_FALSE(axSettable(*findElement(window, "a-label"), "AXValue"));
  EXPECT_FALSE(axSettable(*send, "AXValue"));

  // The focused element and its selection.
  ASSERT_EQ(app->command({{"op", "focus"}, {"node", "a-field"}})["ok"], true);
  auto field = findElement(window, "a-field");
  ASSERT_TRUE(field);
  auto application = platformApplicationElement(app->pid);
  ASSERT_TRUE(application);
  ASSERT_TRUE(waitFor([&] {
    auto focused = platformCopyAttribute(*application, "AXFocusedUIElement");
    return focused && platformSameElement(std::get<AXElement>(*focused), *field);
  })) << "the focused text field is not the application's focused element";
  EXPECT_EQ(axBool(*field, "AXFocused"), true);
  auto range = platformCopyAttribute(*field, "AXSelectedTextRange");
  ASSERT_TRUE(range);
  // GTK selects a text field's whole text when it takes the focus.
  EXPECT_EQ(std::get<TextRange>(*range).location, 0);
  EXPECT_EQ(std::get<TextRange>(*range).length, 3);
}

// Pressing, setting a value and focusing change the application; what cannot be set is refused.
TEST_F(AtspiAttributesTest, ActionsAndSettersChangeTheApplication) {
  addNodes(*app, json::array({
                     {{"id", "s-check"}, {"role", "AXCheckBox"}, {"title", "Agree"}},
                     {{"id", "s-field"}, {"role", "AXTextField"}, {"value", "Ada"}},
                     {{"id", "s-slider"}, {"role", "AXSlider"}, {"value", 30}},
                     {{"id", "s-label"}, {"role", "AXStaticText"}, {"value", "Fixed"}},
                 }));
  auto check = findElement(window, "s-check");
  auto field = findElement(window, "s-field");
  auto slider = findElement(window, "s-slider");
  auto label = findElement(window, "s-label");
  ASSERT_TRUE(check && field && slider && label);

  EXPECT_TRUE(platformPerformAction(*check, "AXPress"));
  EXPECT_TRUE(waitFor([&] {
    return app->command({{"op", "get"}, {"node", "s-check"}})["value"] == 1;
  })) << "pressing the check box did not check it";
  EXPECT_FALSE(platformPerformAction(*label, "AXPress"));

  EXPECT_TRUE(platformSetAttribute(*field, "AXValue", std::string("Grace Hopper")));
  EXPECT_EQ(app->command({{"op", "get"}, {"node", "s-field"}})["value"], "Grace Hopper");
  EXPECT_FALSE(platformSetAttribute(*label, "AXValue", std::string("Changed")));
  EXPECT_EQ(app->command({{"op", "get"}, {"node", "s-label"}})["value"], "Fixed");

  EXPECT_TRUE(platformSetAttribute(*slider, "AXValue", 55.0));
  auto number = platformCopyAttribute(*slider, "AXValue");
  ASSERT_TRUE(number);
  EXPECT_DOUBLE_EQ(std::get<double>(*number), 55.0);

  EXPECT_TRUE(platformSetAttribute(*field, "AXFocused", true));
  EXPECT_TRUE(waitFor([&] {
    return app->command({{"op", "get"}, {"node", "s-field"}})["focused"] == true;
  })) << "the text field never took the focus";
}

// Raising a window element activates exactly that window.
TEST_F(AtspiAttributesTest, RaiseActivatesThatWindow) {
  TestApp other = startTestApp();
  const auto otherXid = other.windows[0]["xid"].get<std::uint32_t>();
  ASSERT_TRUE(waitFor([&] { return frontWindowID(cgWindows()) == otherXid; }))
      << "the second application's window never came to the front";
  EXPECT_TRUE(platformPerformAction(window, "AXRaise"));
  const auto xid = app->windows[0]["xid"].get<std::uint32_t>();
  EXPECT_TRUE(waitFor([&] { return frontWindowID(cgWindows()) == xid; }))
      << "the raised window never came to the front";
  AXElement otherWindow = windowElementOf(other.pid);
  EXPECT_TRUE(platformSetAttribute(otherWindow, "AXMain", true));
  EXPECT_TRUE(waitFor([&] { return frontWindowID(cgWindows()) == otherXid; }))
      << "the window made main never came to the front";
  EXPECT_TRUE(waitFor([&] { return axBool(otherWindow, "AXMain") == true; }));
}

}  // namespace
}  // namespace qcu::test
