// The key allowlist: which names a "key" action may press, and what each one presses on the
// simulated desktop, read back from the events it posts with the Mac keyboard's own key codes.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "actions/keys.h"
#include "binding/probe.h"
#include "desktop/sim/sim.h"
#include "support/harness.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using test::Json;

// The names a key action may press, as the protocol spells them.
const std::set<std::string, std::less<>> KEY_NAMES = {"Enter",
                                                      "Tab",
                                                      "Escape",
                                                      "Backspace",
                                                      "Delete",
                                                      "ArrowLeft",
                                                      "ArrowRight",
                                                      "ArrowUp",
                                                      "ArrowDown",
                                                      "Home",
                                                      "End",
                                                      "PageUp",
                                                      "PageDown",
                                                      "Space",
                                                      "Ctrl+A",
                                                      "Ctrl+C",
                                                      "Ctrl+X",
                                                      "Ctrl+V",
                                                      "Ctrl+Z",
                                                      "Ctrl+Y",
                                                      "Ctrl+S",
                                                      "Ctrl+F",
                                                      "Ctrl+Home",
                                                      "Ctrl+End",
                                                      "Shift+Tab",
                                                      "Shift+ArrowLeft",
                                                      "Shift+ArrowRight",
                                                      "Shift+ArrowUp",
                                                      "Shift+ArrowDown",
                                                      "Shift+Home",
                                                      "Shift+End",
                                                      "F2"};

// Facts of the Mac keyboard, the one the simulated desktop models: the virtual key code of each
// key these names can press, and the event flag of each modifier.
const std::map<int, std::string> MAC_KEY_CAPS = {
    {0x00, "A"},          {0x01, "S"},         {0x03, "F"},        {0x06, "Z"},
    {0x07, "X"},          {0x08, "C"},         {0x09, "V"},        {0x10, "Y"},
    {0x24, "Return"},     {0x30, "Tab"},       {0x31, "Space"},    {0x33, "Delete"},
    {0x35, "Escape"},     {0x73, "Home"},      {0x74, "PageUp"},   {0x75, "ForwardDelete"},
    {0x77, "End"},        {0x78, "F2"},        {0x79, "PageDown"}, {0x7B, "LeftArrow"},
    {0x7C, "RightArrow"}, {0x7D, "DownArrow"}, {0x7E, "UpArrow"}};
const std::vector<std::pair<std::uint64_t, std::string>> MAC_MODIFIERS = {
    {0x40000, "Control"}, {0x80000, "Option"}, {0x20000, "Shift"}, {0x100000, "Command"}};

// What a name means on the Mac keyboard, as "Modifier+...+Key" with the modifiers in the order
// Mac menus show them: "Ctrl" is the Command key, keys go by their Mac names, and three chords
// have Mac equivalents of their own.
std::string macChord(const std::string& name) {
  static const std::map<std::string, std::string> equivalents = {
      {"Ctrl+Y", "Shift+Command+Z"},  // redo
      {"Ctrl+Home", "Command+UpArrow"},
      {"Ctrl+End", "Command+DownArrow"}};
  static const std::map<std::string, std::string> macNames = {
      {"Enter", "Return"},        {"Backspace", "Delete"},      {"Delete", "ForwardDelete"},
      {"ArrowLeft", "LeftArrow"}, {"ArrowRight", "RightArrow"}, {"ArrowUp", "UpArrow"},
      {"ArrowDown", "DownArrow"}};
  if (auto found = equivalents.find(name); found != equivalents.end()) return found->second;
  std::string chord;
  std::string rest = name;
  for (auto plus = rest.find('+'); plus != std::string::npos; plus = rest.find('+')) {
    const std::string modifier = rest.substr(0, plus);
    chord += (modifier == "Ctrl" ? "Command" : modifier) + "+";
    rest.erase(0, plus + 1);
  }
  auto mac = macNames.find(rest);
  return chord + (mac != macNames.end() ? mac->second : rest);
}

// The chord one posted key event presses, read with the Mac keyboard's facts.
std::string pressedChord(const sim::PostedEvent& event) {
  std::string chord;
  std::uint64_t flags = event.flags;
  for (const auto& [mask, modifier] : MAC_MODIFIERS) {
    if (flags & mask) chord += modifier + "+";
    flags &= ~mask;
  }
  if (flags != 0) chord += "flags " + std::to_string(flags) + "+";
  auto cap = MAC_KEY_CAPS.find(event.keyCode);
  return chord +
         (cap != MAC_KEY_CAPS.end() ? cap->second : "code " + std::to_string(event.keyCode));
}

TEST(KeyNames, TheAllowlistIsExactlyTheProtocolsNames) {
  EXPECT_EQ(allowedKeys(), KEY_NAMES);
}

TEST(KeyNames, OtherNamesAreNeitherAllowedNorMapped) {
  // Case, spacing, other modifiers, and plain keys that are allowed only without Shift.
  const std::vector<std::string> others = {"",
                                           "ctrl+a",
                                           "Ctrl+a",
                                           "enter",
                                           "Ctrl+B",
                                           "Ctrl+Shift+Z",
                                           "Cmd+C",
                                           "Shift+Enter",
                                           "Shift+F2",
                                           "Shift+Space",
                                           "F1",
                                           "Enter ",
                                           "Ctrl+ A",
                                           "Return",
                                           std::string("Enter\0", 6)};
  for (const auto& name : others) {
    EXPECT_FALSE(allowedKeys().contains(name)) << name;
    EXPECT_FALSE(keySpec(name).has_value()) << name;
  }
}

class KeyPresses : public test::HelperTest {};

TEST_F(KeyPresses, EveryNamePressesWhatItMeansOnTheMacKeyboard) {
  for (const auto& name : KEY_NAMES) {
    SCOPED_TRACE(name);
    // A window whose status line and pasteboard react to any key going down, so each commit
    // is proven at once instead of waiting out the key watch.
    test::loadDesktop(test::targetDesktop(
        {test::framed({{"id", "status"}, {"role", "AXStaticText"}, {"value", "idle"}},
                      {200, 300, 200, 20})},
        {{"effects",
          {test::effect(test::onEvent("key-down"),
                        {test::setAttribute(test::TARGET_PID, "status", "AXValue", "pressed"),
                         {{"op", "bump-pasteboard"}}})}}}));
    const Ident ident = test::identOf(test::TARGET_PID, test::TARGET_WINDOW);
    const std::string attempt = "press " + name;  // one attempt per key: each commits alone
    Json action = {{"kind", "key"}, {"key", name}};
    if (name == "Ctrl+V") {
      action["expectedClipboardSequence"] = test::ask("clipboard_sequence")["sequence"];
    }
    Json prepared = test::ask("prepare_action", {{"attemptId", attempt},
                                                 {"identity", ident.object()},
                                                 {"action", action},
                                                 {"expected", probeExact(ident, true).object()}});
    ASSERT_EQ(prepared["ok"], true) << prepared;
    Json committed = test::ask("commit_action",
                               {{"preparedId", prepared["preparedId"]}, {"attemptId", attempt}});
    EXPECT_EQ(committed["readback"]["effectMatched"], true) << committed;

    // One key-down and one key-up of the same key with the same modifiers held.
    const auto posted = sim::postedEvents();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].type, "key-down");
    EXPECT_EQ(posted[1].type, "key-up");
    EXPECT_EQ(pressedChord(posted[0]), macChord(name));
    EXPECT_EQ(pressedChord(posted[1]), macChord(name));
  }
}

}  // namespace
}  // namespace qcu
