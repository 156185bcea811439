// The key table of an X11 desktop: each name as the X keysym of its key and the X modifier mask
// held around it. The backend resolves the keysym to a key code of the server's keymap when it
// makes the event. "Ctrl" is Control; every chord is what a person presses on a PC keyboard.
#include <X11/X.h>
#include <X11/keysym.h>

#include <array>

#include "actions/keys.h"

namespace qcu {
namespace {

constexpr std::uint64_t NONE = 0;
constexpr std::uint64_t SHIFT = ShiftMask;
constexpr std::uint64_t CONTROL = ControlMask;

constexpr std::array<KeyEntry, 32> KEY_TABLE{{
    {"Enter", {XK_Return, NONE}},
    {"Tab", {XK_Tab, NONE}},
    {"Escape", {XK_Escape, NONE}},
    {"Backspace", {XK_BackSpace, NONE}},
    {"Delete", {XK_Delete, NONE}},
    {"ArrowLeft", {XK_Left, NONE}},
    {"ArrowRight", {XK_Right, NONE}},
    {"ArrowUp", {XK_Up, NONE}},
    {"ArrowDown", {XK_Down, NONE}},
    {"Home", {XK_Home, NONE}},
    {"End", {XK_End, NONE}},
    {"PageUp", {XK_Page_Up, NONE}},
    {"PageDown", {XK_Page_Down, NONE}},
    {"Space", {XK_space, NONE}},
    // Letters as their unshifted keysyms: the key of "a" with Control held.
    {"Ctrl+A", {XK_a, CONTROL}},
    {"Ctrl+C", {XK_c, CONTROL}},
    {"Ctrl+X", {XK_x, CONTROL}},
    {"Ctrl+V", {XK_v, CONTROL}},
    {"Ctrl+Z", {XK_z, CONTROL}},
    {"Ctrl+Y", {XK_y, CONTROL}},
    {"Ctrl+S", {XK_s, CONTROL}},
    {"Ctrl+F", {XK_f, CONTROL}},
    {"Ctrl+Home", {XK_Home, CONTROL}},
    {"Ctrl+End", {XK_End, CONTROL}},
    // The Tab key with Shift held: the keymap turns it into ISO_Left_Tab, which is what GTK and
    // other toolkits bind to moving focus backwards.
    {"Shift+Tab", {XK_Tab, SHIFT}},
    {"Shift+ArrowLeft", {XK_Left, SHIFT}},
    {"Shift+ArrowRight", {XK_Right, SHIFT}},
    {"Shift+ArrowUp", {XK_Up, SHIFT}},
    {"Shift+ArrowDown", {XK_Down, SHIFT}},
    {"Shift+Home", {XK_Home, SHIFT}},
    {"Shift+End", {XK_End, SHIFT}},
    {"F2", {XK_F2, NONE}},
}};

}  // namespace

std::span<const KeyEntry> keyTable() {
  return KEY_TABLE;
}

}  // namespace qcu
