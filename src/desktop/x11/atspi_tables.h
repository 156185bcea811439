// How AT-SPI roles, states and actions read in the accessibility vocabulary the common code
// speaks: the role table and the value rules, all pure functions of an element's facts.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/platform.h"

namespace qcu::x11::atspi {

struct Facts;

struct RoleRow {
  std::uint32_t role;        // an AtspiRole
  std::string_view axRole;   // the role; for text and combo boxes see axRoleOf
  std::string_view subrole;  // empty for none
};
// Every AT-SPI role that reads as something other than AXUnknown, each once.
std::span<const RoleRow> roleTable();

inline constexpr std::string_view UNKNOWN_ROLE = "AXUnknown";

// The role of an element. A text is a text area when it has several lines; a combo box is a
// combo box when it holds an editable text, else a pop-up button.
std::string_view axRoleOf(std::uint32_t role, std::uint64_t states, bool holdsEditableText);
std::optional<std::string_view> axSubroleOf(std::uint32_t role);

// Windows as the application lists them: frames, dialogs and other top-level windows.
bool isWindowRole(std::uint32_t role);
// Whether the text of an element is its value (text fields and static text).
bool textIsValue(std::uint32_t role);
// Whether an element's value is the number of its Value interface (sliders, spin buttons,
// progress, level and scroll bars).
bool hasNumericValue(std::uint32_t role);
// Whether an element of this role may hold the editable text that makes a combo box editable.
bool isEditableTextRole(std::uint32_t role);

// The value of an element: the checked state as 0, 1 or 2 (mixed) for check boxes, toggles and
// radio buttons, the selected state for tabs, the text of text fields and static text, the
// number of sliders and spin buttons, the selected item's name for a combo box.
std::optional<AXValue> axValueOf(const Facts& facts);
// Whether the value can be set: editable text, or the number of a slider or spin button.
bool valueSettable(const Facts& facts);

// The index of the action that "AXPress" performs: the first named click, press, activate or
// toggle.
std::optional<std::size_t> pressActionIndex(const std::vector<std::string>& actions);

}  // namespace qcu::x11::atspi
