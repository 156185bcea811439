// How one observed element is described: state, label, fingerprint, actions, value, and the
// check that a remembered element is still the one observed.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "desktop/accessibility.h"
#include "foundation/errors.h"
#include "foundation/text.h"
#include "observation/element.h"
#include "support/harness.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using Json = nlohmann::json;
using StatePair = std::optional<std::pair<std::string, std::string>>;

class ElementTest : public test::DesktopTest {
 protected:
  // Loads one window whose children are the given elements; returns their handles in order.
  static std::vector<AXElement> load(const Json& children) {
    test::loadDesktop({{"apps",
                        {test::appEntry(test::TARGET_PID, "notes",
                                        {test::windowNode(101, "Notes", children)})}}});
    auto application = platformApplicationElement(test::TARGET_PID);
    if (!application) return {};
    return axChildren(axChildren(*application).at(0));
  }

  static StatePair stateOf(const Json& element) {
    auto handles = load(Json::array({element}));
    return elementState(handles.at(0), element.value("role", ""));
  }

  static std::string labelOf(const Json& element) {
    auto handles = load(Json::array({element}));
    return elementLabel(handles.at(0), element.value("role", ""));
  }

  static std::vector<std::string> actionsOf(const Json& element) {
    auto handles = load(Json::array({element}));
    return supportedActions(handles.at(0), element.value("role", ""));
  }

  static void expectStale(const ElementEntry& entry, const std::string& message) {
    test::expectSafeError([&] { requireElementCurrent(entry); }, "stale_element", message);
  }
};

StatePair pair(const char* kind, const char* value) {
  return std::pair<std::string, std::string>{kind, value};
}

TEST_F(ElementTest, ToggleStatesReadTheValueAsAnInteger) {
  EXPECT_EQ(stateOf({{"role", "AXCheckBox"}, {"value", 0}}), pair("toggle", "off"));
  EXPECT_EQ(stateOf({{"role", "AXCheckBox"}, {"value", 1}}), pair("toggle", "on"));
  EXPECT_EQ(stateOf({{"role", "AXCheckBox"}, {"value", 2}}), pair("toggle", "indeterminate"));
  EXPECT_EQ(stateOf({{"role", "AXSwitch"}, {"value", 1.7}}), pair("toggle", "on"));
  EXPECT_EQ(stateOf({{"role", "AXSwitch"}, {"value", true}}), pair("toggle", "on"));
  EXPECT_EQ(stateOf({{"role", "AXCheckBox"}, {"value", "1"}}), std::nullopt);
  EXPECT_EQ(stateOf({{"role", "AXCheckBox"}}), std::nullopt);
}

TEST_F(ElementTest, SelectionStates) {
  EXPECT_EQ(stateOf({{"role", "AXRadioButton"}, {"value", 0}}), pair("selection", "not-selected"));
  EXPECT_EQ(stateOf({{"role", "AXRadioButton"}, {"value", 1}}), pair("selection", "selected"));
  EXPECT_EQ(stateOf({{"role", "AXRadioButton"}, {"value", 2}}), pair("selection", "not-selected"));
  EXPECT_EQ(stateOf({{"role", "AXTab"}}), std::nullopt);
  EXPECT_EQ(stateOf({{"role", "AXTab"}, {"selected", true}}), pair("selection", "selected"));
  // A number's truth value counts as a boolean.
  EXPECT_EQ(stateOf({{"role", "AXRow"}, {"selected", 0}}), pair("selection", "not-selected"));
  EXPECT_EQ(stateOf({{"role", "AXCell"}, {"selected", 5}}), pair("selection", "selected"));
  // Other roles have no state, whatever they carry.
  EXPECT_EQ(stateOf({{"role", "AXButton"}, {"value", 1}, {"selected", true}}), std::nullopt);
}

TEST_F(ElementTest, LabelTakesTheFirstNonBlankAttributeUntrimmed) {
  EXPECT_EQ(labelOf({{"role", "AXButton"}, {"title", "   "}, {"description", "Save"}}), "Save");
  EXPECT_EQ(labelOf({{"role", "AXButton"}, {"title", " Save "}}), " Save ");
  // Ideographic space, tab, next line and a paragraph separator are blank too; a mistyped
  // title is skipped.
  EXPECT_EQ(labelOf({{"role", "AXButton"},
                     {"title", "\u3000\t\u0085\u2029"},
                     {"description", 7},
                     {"placeholder", "Search"}}),
            "Search");
  EXPECT_EQ(labelOf({{"role", "AXButton"}, {"help", "Opens the file"}}), "Opens the file");
  // A static text falls back to its value; other roles do not.
  EXPECT_EQ(labelOf({{"role", "AXStaticText"}, {"value", "Hello"}}), "Hello");
  EXPECT_EQ(labelOf({{"role", "AXStaticText"}, {"title", " "}, {"value", " "}}), " ");
  EXPECT_EQ(labelOf({{"role", "AXButton"}, {"value", "Hello"}}), "");
}

TEST_F(ElementTest, LabelFlattensLineBreaksAndClipsToUtf16Units) {
  EXPECT_EQ(labelOf({{"role", "AXButton"}, {"title", "a\r\nb\nc\td "}}), "a  b c\td ");
  const std::string long400(400, 'x');
  EXPECT_EQ(labelOf({{"role", "AXButton"}, {"title", long400}}), std::string(300, 'x'));
  // The 300th unit would be the first half of a surrogate pair: the pair goes whole.
  const std::string split = std::string(299, 'x') + "\U0001F600" + "yy";
  EXPECT_EQ(labelOf({{"role", "AXButton"}, {"title", split}}), std::string(299, 'x'));
}

TEST_F(ElementTest, FingerprintIsStableAndTellsEachDescribingFieldApart) {
  auto handles =
      load(Json::array({{{"role", "AXButton"}, {"title", "Save"}},
                        {{"role", "AXButton"}, {"title", "Save"}, {"subrole", ""}},
                        {{"role", "AXButton"}, {"title", "Save"}, {"subrole", "AXCloseButton"}},
                        {{"role", "AXButton"}, {"title", "Save"}, {"identifier", "save"}}}));
  const std::string plain = elementFingerprint(handles[0], "AXButton", "Save", "0.2.1");
  EXPECT_TRUE(test::isLowerHex(plain, 64));
  EXPECT_EQ(elementFingerprint(handles[0], "AXButton", "Save", "0.2.1"), plain);
  // An empty subrole reads like an absent one.
  EXPECT_EQ(elementFingerprint(handles[1], "AXButton", "Save", "0.2.1"), plain);
  // Each describing field on its own gives another fingerprint.
  const std::vector<std::string> changed = {
      elementFingerprint(handles[0], "AXLink", "Save", "0.2.1"),
      elementFingerprint(handles[2], "AXButton", "Save", "0.2.1"),
      elementFingerprint(handles[0], "AXButton", "Save as", "0.2.1"),
      elementFingerprint(handles[3], "AXButton", "Save", "0.2.1"),
      elementFingerprint(handles[0], "AXButton", "Save", "0.2.2"),
      elementFingerprint(handles[0], "AXButton", "Save", "0.21")};
  std::set<std::string> distinct(changed.begin(), changed.end());
  distinct.insert(plain);
  EXPECT_EQ(distinct.size(), changed.size() + 1);
}

TEST_F(ElementTest, ActionsComeFromPressTextInputsAndScrollAreas) {
  using Actions = std::vector<std::string>;
  EXPECT_EQ(actionsOf({{"role", "AXButton"}, {"actions", {"AXPress"}}}), Actions{"click"});
  EXPECT_EQ(actionsOf({{"role", "AXButton"}, {"actions", {"AXShowMenu", "AXConfirm"}}}), Actions{});
  EXPECT_EQ(actionsOf({{"role", "AXScrollArea"}, {"actions", {"AXPress"}}}),
            (Actions{"click", "scroll"}));
  EXPECT_EQ(actionsOf({{"role", "AXTextField"}, {"value", "x"}, {"settable", {"AXValue"}}}),
            Actions{"type"});
  EXPECT_EQ(actionsOf({{"role", "AXComboBox"},
                       {"value", ""},
                       {"settable", {"AXValue"}},
                       {"actions", {"AXPress"}}}),
            (Actions{"click", "type"}));
  // Not settable, a value that is no string, or a secure field: no typing.
  EXPECT_EQ(actionsOf({{"role", "AXTextField"}, {"value", "x"}}), Actions{});
  EXPECT_EQ(actionsOf({{"role", "AXTextField"}, {"value", 5}, {"settable", {"AXValue"}}}),
            Actions{});
  EXPECT_EQ(actionsOf({{"role", "AXSecureTextField"}, {"value", ""}, {"settable", {"AXValue"}}}),
            Actions{});
  EXPECT_EQ(actionsOf({{"role", "AXStaticText"}, {"value", "x"}, {"settable", {"AXValue"}}}),
            Actions{});
}

TEST_F(ElementTest, CurrentValueOnlyWhenAString) {
  auto handles = load(Json::array({{{"role", "AXTextField"}, {"value", "draft"}},
                                   {{"role", "AXTextField"}, {"value", 3}},
                                   {{"role", "AXTextField"}}}));
  EXPECT_EQ(currentStringValue(handles[0]), "draft");
  EXPECT_EQ(currentStringValue(handles[1]), std::nullopt);
  EXPECT_EQ(currentStringValue(handles[2]), std::nullopt);
}

TEST_F(ElementTest, RequireElementCurrentChecksRoleThenLabel) {
  auto handles =
      load(Json::array({{{"id", "save"}, {"role", "AXButton"}, {"title", "Caf\u00e9"}}}));
  ElementEntry entry;
  entry.element = handles.at(0);
  entry.role = "AXButton";
  entry.label = "Caf\u00e9";
  EXPECT_NO_THROW(requireElementCurrent(entry));
  // A canonically equivalent spelling is the same label.
  test::controlDesktop(test::setAttribute(test::TARGET_PID, "save", "AXTitle", "Cafe\u0301"));
  EXPECT_NO_THROW(requireElementCurrent(entry));

  test::controlDesktop(test::setAttribute(test::TARGET_PID, "save", "AXTitle", "Save as"));
  expectStale(entry, "element label changed");
  test::controlDesktop(test::setAttribute(test::TARGET_PID, "save", "AXRole", "AXLink"));
  expectStale(entry, "element changed or disappeared");
  test::controlDesktop({{"op", "remove-node"}, {"pid", test::TARGET_PID}, {"node", "save"}});
  expectStale(entry, "element changed or disappeared");
}

}  // namespace
}  // namespace qcu
