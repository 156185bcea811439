// The key table of the Mac keyboard, which the simulated desktop models.
#include <array>

#include "actions/keys.h"

namespace qcu {
namespace {

constexpr std::uint64_t NONE = 0;
constexpr std::uint64_t SHIFT = KEY_FLAG_SHIFT;
constexpr std::uint64_t COMMAND = KEY_FLAG_COMMAND;

// One row per allowed name. "Ctrl" in a name is the Command key here, and three chords become
// their Mac equivalents: Ctrl+Home and Ctrl+End jump with Command+Up/Down, Ctrl+Y (redo) is
// Command+Shift+Z.
constexpr std::array<KeyEntry, 32> KEY_TABLE{{
    {"Enter", {36, NONE}},  // Return
    {"Tab", {48, NONE}},
    {"Escape", {53, NONE}},
    {"Backspace", {51, NONE}},  // the backward delete key
    {"Delete", {117, NONE}},    // forward delete
    {"ArrowLeft", {123, NONE}},
    {"ArrowRight", {124, NONE}},
    {"ArrowUp", {126, NONE}},
    {"ArrowDown", {125, NONE}},
    {"Home", {115, NONE}},
    {"End", {119, NONE}},
    {"PageUp", {116, NONE}},
    {"PageDown", {121, NONE}},
    {"Space", {49, NONE}},
    {"Ctrl+A", {0, COMMAND}},
    {"Ctrl+C", {8, COMMAND}},
    {"Ctrl+X", {7, COMMAND}},
    {"Ctrl+V", {9, COMMAND}},
    {"Ctrl+Z", {6, COMMAND}},
    {"Ctrl+Y", {6, COMMAND | SHIFT}},  // Z
    {"Ctrl+S", {1, COMMAND}},
    {"Ctrl+F", {3, COMMAND}},
    {"Ctrl+Home", {126, COMMAND}},  // Up Arrow
    {"Ctrl+End", {125, COMMAND}},   // Down Arrow
    {"Shift+Tab", {48, SHIFT}},
    {"Shift+ArrowLeft", {123, SHIFT}},
    {"Shift+ArrowRight", {124, SHIFT}},
    {"Shift+ArrowUp", {126, SHIFT}},
    {"Shift+ArrowDown", {125, SHIFT}},
    {"Shift+Home", {115, SHIFT}},
    {"Shift+End", {119, SHIFT}},
    {"F2", {120, NONE}},
}};

}  // namespace

std::span<const KeyEntry> keyTable() {
  return KEY_TABLE;
}

}  // namespace qcu
