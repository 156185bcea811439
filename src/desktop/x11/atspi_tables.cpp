#include "desktop/x11/atspi_tables.h"

#include <atspi/atspi-constants.h>

#include <algorithm>
#include <array>
#include <cctype>

#include "desktop/x11/atspi_bus.h"
#include "desktop/x11/atspi_tree.h"

namespace qcu::x11::atspi {
namespace {

constexpr std::array ROLES = {
    RoleRow{ATSPI_ROLE_PUSH_BUTTON, "AXButton", ""},
    RoleRow{ATSPI_ROLE_PUSH_BUTTON_MENU, "AXMenuButton", ""},
    // A toggle button holds an on or off state as a check box does.
    RoleRow{ATSPI_ROLE_TOGGLE_BUTTON, "AXCheckBox", "AXToggle"},
    RoleRow{ATSPI_ROLE_CHECK_BOX, "AXCheckBox", ""},
    RoleRow{ATSPI_ROLE_RADIO_BUTTON, "AXRadioButton", ""},
    RoleRow{ATSPI_ROLE_TEXT, "AXTextField", ""},
    RoleRow{ATSPI_ROLE_ENTRY, "AXTextField", ""},
    RoleRow{ATSPI_ROLE_PASSWORD_TEXT, "AXSecureTextField", ""},
    RoleRow{ATSPI_ROLE_COMBO_BOX, "AXPopUpButton", ""},
    RoleRow{ATSPI_ROLE_SCROLL_PANE, "AXScrollArea", ""},
    RoleRow{ATSPI_ROLE_SCROLL_BAR, "AXScrollBar", ""},
    RoleRow{ATSPI_ROLE_PAGE_TAB_LIST, "AXTabGroup", ""},
    // A tab is one of a group of which one is chosen, as a radio button is.
    RoleRow{ATSPI_ROLE_PAGE_TAB, "AXRadioButton", "AXTab"},
    RoleRow{ATSPI_ROLE_TABLE, "AXTable", ""},
    RoleRow{ATSPI_ROLE_TREE_TABLE, "AXTable", ""},
    RoleRow{ATSPI_ROLE_TREE, "AXOutline", ""},
    RoleRow{ATSPI_ROLE_TABLE_ROW, "AXRow", ""},
    RoleRow{ATSPI_ROLE_TREE_ITEM, "AXRow", ""},
    RoleRow{ATSPI_ROLE_LIST_ITEM, "AXRow", ""},
    RoleRow{ATSPI_ROLE_TABLE_CELL, "AXCell", ""},
    RoleRow{ATSPI_ROLE_TABLE_COLUMN_HEADER, "AXCell", ""},
    RoleRow{ATSPI_ROLE_TABLE_ROW_HEADER, "AXCell", ""},
    RoleRow{ATSPI_ROLE_LIST, "AXList", ""},
    RoleRow{ATSPI_ROLE_LIST_BOX, "AXList", ""},
    RoleRow{ATSPI_ROLE_LABEL, "AXStaticText", ""},
    RoleRow{ATSPI_ROLE_STATIC, "AXStaticText", ""},
    RoleRow{ATSPI_ROLE_CAPTION, "AXStaticText", ""},
    RoleRow{ATSPI_ROLE_FRAME, "AXWindow", "AXStandardWindow"},
    RoleRow{ATSPI_ROLE_WINDOW, "AXWindow", "AXStandardWindow"},
    RoleRow{ATSPI_ROLE_DIALOG, "AXWindow", "AXDialog"},
    RoleRow{ATSPI_ROLE_ALERT, "AXWindow", "AXDialog"},
    RoleRow{ATSPI_ROLE_FILE_CHOOSER, "AXWindow", "AXDialog"},
    RoleRow{ATSPI_ROLE_APPLICATION, "AXApplication", ""},
    RoleRow{ATSPI_ROLE_FILLER, "AXGroup", ""},
    RoleRow{ATSPI_ROLE_PANEL, "AXGroup", ""},
    RoleRow{ATSPI_ROLE_SECTION, "AXGroup", ""},
    RoleRow{ATSPI_ROLE_GROUPING, "AXGroup", ""},
    RoleRow{ATSPI_ROLE_FORM, "AXGroup", ""},
    RoleRow{ATSPI_ROLE_PARAGRAPH, "AXGroup", ""},
    RoleRow{ATSPI_ROLE_MENU_BAR, "AXMenuBar", ""},
    RoleRow{ATSPI_ROLE_MENU, "AXMenu", ""},
    RoleRow{ATSPI_ROLE_POPUP_MENU, "AXMenu", ""},
    RoleRow{ATSPI_ROLE_MENU_ITEM, "AXMenuItem", ""},
    RoleRow{ATSPI_ROLE_CHECK_MENU_ITEM, "AXMenuItem", ""},
    RoleRow{ATSPI_ROLE_RADIO_MENU_ITEM, "AXMenuItem", ""},
    RoleRow{ATSPI_ROLE_TEAROFF_MENU_ITEM, "AXMenuItem", ""},
    RoleRow{ATSPI_ROLE_SLIDER, "AXSlider", ""},
    RoleRow{ATSPI_ROLE_SPIN_BUTTON, "AXIncrementor", ""},
    RoleRow{ATSPI_ROLE_PROGRESS_BAR, "AXProgressIndicator", ""},
    RoleRow{ATSPI_ROLE_LEVEL_BAR, "AXLevelIndicator", ""},
    RoleRow{ATSPI_ROLE_LINK, "AXLink", ""},
    RoleRow{ATSPI_ROLE_IMAGE, "AXImage", ""},
    RoleRow{ATSPI_ROLE_ICON, "AXImage", ""},
    RoleRow{ATSPI_ROLE_TOOL_BAR, "AXToolbar", ""},
    RoleRow{ATSPI_ROLE_HEADING, "AXHeading", ""},
    RoleRow{ATSPI_ROLE_TOOL_TIP, "AXHelpTag", ""},
    RoleRow{ATSPI_ROLE_SEPARATOR, "AXSplitter", ""},
    RoleRow{ATSPI_ROLE_SPLIT_PANE, "AXSplitGroup", ""},
    // A terminal is deliberately no text field: nothing is ever typed into one.
    RoleRow{ATSPI_ROLE_TERMINAL, "AXUnknown", ""},
};

const RoleRow* rowOf(std::uint32_t role) {
  for (const RoleRow& row : ROLES) {
    if (row.role == role) return &row;
  }
  return nullptr;
}

bool has(std::uint64_t states, AtspiStateType state) {
  return (states >> state) & 1u;
}

std::string lower(std::string_view text) {
  std::string folded(text);
  for (char& c : folded)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folded;
}

}  // namespace

std::span<const RoleRow> roleTable() {
  return ROLES;
}

std::string_view axRoleOf(std::uint32_t role, std::uint64_t states, bool holdsEditableText) {
  if ((role == ATSPI_ROLE_TEXT || role == ATSPI_ROLE_ENTRY) &&
      has(states, ATSPI_STATE_MULTI_LINE)) {
    return "AXTextArea";
  }
  if (role == ATSPI_ROLE_COMBO_BOX && holdsEditableText) return "AXComboBox";
  const RoleRow* row = rowOf(role);
  return row ? row->axRole : UNKNOWN_ROLE;
}

std::optional<std::string_view> axSubroleOf(std::uint32_t role) {
  const RoleRow* row = rowOf(role);
  if (!row || row->subrole.empty()) return std::nullopt;
  return row->subrole;
}

bool isWindowRole(std::uint32_t role) {
  const RoleRow* row = rowOf(role);
  return row && row->axRole == "AXWindow";
}

bool textIsValue(std::uint32_t role) {
  switch (role) {
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PASSWORD_TEXT:
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_CAPTION:
      return true;
    default:
      return false;
  }
}

bool hasNumericValue(std::uint32_t role) {
  switch (role) {
    case ATSPI_ROLE_SLIDER:
    case ATSPI_ROLE_SPIN_BUTTON:
    case ATSPI_ROLE_PROGRESS_BAR:
    case ATSPI_ROLE_LEVEL_BAR:
    case ATSPI_ROLE_SCROLL_BAR:
      return true;
    default:
      return false;
  }
}

bool isEditableTextRole(std::uint32_t role) {
  return role == ATSPI_ROLE_TEXT || role == ATSPI_ROLE_ENTRY;
}

std::optional<AXValue> axValueOf(const Facts& facts) {
  switch (facts.role) {
    case ATSPI_ROLE_CHECK_BOX:
    case ATSPI_ROLE_TOGGLE_BUTTON:
    case ATSPI_ROLE_RADIO_BUTTON:
      if (!facts.has(STATE)) return std::nullopt;
      if (has(facts.states, ATSPI_STATE_INDETERMINATE)) return AXValue{std::int64_t{2}};
      return AXValue{std::int64_t{has(facts.states, ATSPI_STATE_CHECKED) ? 1 : 0}};
    case ATSPI_ROLE_PAGE_TAB:
      if (!facts.has(STATE)) return std::nullopt;
      return AXValue{std::int64_t{has(facts.states, ATSPI_STATE_SELECTED) ? 1 : 0}};
    case ATSPI_ROLE_COMBO_BOX:
      if (!facts.has(PROPS)) return std::nullopt;
      return AXValue{facts.name};
    default:
      if (hasNumericValue(facts.role) && facts.number) return AXValue{*facts.number};
      if (textIsValue(facts.role) && facts.text) return AXValue{*facts.text};
      return std::nullopt;
  }
}

bool valueSettable(const Facts& facts) {
  if (facts.hasInterface(EDITABLE_TEXT_INTERFACE) && has(facts.states, ATSPI_STATE_EDITABLE))
    return true;
  return facts.hasInterface(VALUE_INTERFACE) &&
         (facts.role == ATSPI_ROLE_SLIDER || facts.role == ATSPI_ROLE_SPIN_BUTTON);
}

std::optional<std::size_t> pressActionIndex(const std::vector<std::string>& actions) {
  for (std::size_t i = 0; i < actions.size(); ++i) {
    const std::string name = lower(actions[i]);
    if (name == "click" || name == "press" || name == "activate" || name == "toggle") return i;
  }
  return std::nullopt;
}

}  // namespace qcu::x11::atspi
