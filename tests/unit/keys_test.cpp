// The key allowlist and the code and modifiers each allowed name is sent with.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "actions/keys.h"

namespace qcu {
namespace {

struct Expected {
  std::string name;
  std::uint16_t code;
  std::uint64_t flags;
};

constexpr std::uint64_t SHIFT = 0x20000;
constexpr std::uint64_t COMMAND = 0x100000;

// Written out independently of the product's table, with the masks as plain numbers.
const std::vector<Expected> ALLOWED = {
    {"Enter", 36, 0},
    {"Tab", 48, 0},
    {"Escape", 53, 0},
    {"Backspace", 51, 0},
    {"Delete", 117, 0},
    {"ArrowLeft", 123, 0},
    {"ArrowRight", 124, 0},
    {"ArrowUp", 126, 0},
    {"ArrowDown", 125, 0},
    {"Home", 115, 0},
    {"End", 119, 0},
    {"PageUp", 116, 0},
    {"PageDown", 121, 0},
    {"Space", 49, 0},
    {"Ctrl+A", 0, COMMAND},
    {"Ctrl+C", 8, COMMAND},
    {"Ctrl+X", 7, COMMAND},
    {"Ctrl+V", 9, COMMAND},
    {"Ctrl+Z", 6, COMMAND},
    {"Ctrl+Y", 6, 0x120000},  // redo is Command+Shift+Z
    {"Ctrl+S", 1, COMMAND},
    {"Ctrl+F", 3, COMMAND},
    {"Ctrl+Home", 126, COMMAND},  // Command+Up Arrow
    {"Ctrl+End", 125, COMMAND},   // Command+Down Arrow
    {"Shift+Tab", 48, SHIFT},
    {"Shift+ArrowLeft", 123, SHIFT},
    {"Shift+ArrowRight", 124, SHIFT},
    {"Shift+ArrowUp", 126, SHIFT},
    {"Shift+ArrowDown", 125, SHIFT},
    {"Shift+Home", 115, SHIFT},
    {"Shift+End", 119, SHIFT},
    {"F2", 120, 0},
};

TEST(KeyTable, TheAllowlistIsExactlyThe32Names) {
  std::set<std::string, std::less<>> names;
  for (const auto& key : ALLOWED)
    names.insert(key.name);
  ASSERT_EQ(names.size(), 32u);
  EXPECT_EQ(allowedKeys(), names);
  EXPECT_EQ(KEY_FLAG_SHIFT, SHIFT);
  EXPECT_EQ(KEY_FLAG_COMMAND, COMMAND);
}

TEST(KeyTable, EveryAllowedNameMapsToItsCodeAndFlags) {
  for (const auto& key : ALLOWED) {
    auto mapping = keySpec(key.name);
    ASSERT_TRUE(mapping.has_value()) << key.name;
    EXPECT_EQ(mapping->code, key.code) << key.name;
    EXPECT_EQ(mapping->flags, key.flags) << key.name;
  }
}

TEST(KeyTable, OtherNamesAreNeitherAllowedNorMapped) {
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

}  // namespace
}  // namespace qcu
