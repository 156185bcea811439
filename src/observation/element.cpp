#include "observation/element.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <cmath>

#include "desktop/accessibility.h"
#include "foundation/errors.h"
#include "foundation/text.h"
#include "policy/tables.h"

namespace qcu {
namespace {

// Attributes tried for a label, in this order.
constexpr std::string_view LABEL_ATTRIBUTES[] = {"AXTitle", "AXDescription", "AXPlaceholderValue",
                                                 "AXHelp"};

// White space and line breaks as a label's blankness test sees them: the space, line and
// paragraph separators, the controls tab to carriage return, and next line.
bool isBlankScalar(char32_t c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
  const auto type = u_charType(static_cast<UChar32>(c));
  return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

bool isBlank(std::string_view text) {
  const std::u32string scalars = toScalars(text);
  return std::all_of(scalars.begin(), scalars.end(), isBlankScalar);
}

// A numeric value taken as an integer; a platform boolean counts as the number 0 or 1. None for
// other types and for numbers with no integer value.
std::optional<std::int64_t> integerOf(const std::optional<AXValue>& value) {
  if (!value) return std::nullopt;
  if (const auto* integer = std::get_if<std::int64_t>(&*value)) return *integer;
  if (const auto* flag = std::get_if<bool>(&*value)) return *flag ? 1 : 0;
  if (const auto* real = std::get_if<double>(&*value)) {
    const double whole = std::trunc(*real);
    // Out-of-range and non-finite numbers are neither 0 nor 1; any other integer stands for them.
    if (!(whole >= -9.0e18 && whole <= 9.0e18)) return std::int64_t{2};
    return static_cast<std::int64_t>(whole);
  }
  return std::nullopt;
}

}  // namespace

bool isTextInputRole(std::string_view role) {
  return std::find(TEXT_INPUT_ROLES.begin(), TEXT_INPUT_ROLES.end(), role) !=
         TEXT_INPUT_ROLES.end();
}

std::optional<std::pair<std::string, std::string>> elementState(const AXElement& element,
                                                                std::string_view role) {
  using State = std::pair<std::string, std::string>;
  if (role == "AXCheckBox" || role == "AXSwitch") {
    auto value = integerOf(axAttr(element, "AXValue"));
    if (!value) return std::nullopt;
    if (*value == 0) return State{"toggle", "off"};
    if (*value == 1) return State{"toggle", "on"};
    return State{"toggle", "indeterminate"};
  }
  if (role == "AXRadioButton") {
    auto value = integerOf(axAttr(element, "AXValue"));
    if (!value) return std::nullopt;
    return State{"selection", *value == 1 ? "selected" : "not-selected"};
  }
  if (role == "AXTab" || role == "AXRow" || role == "AXCell") {
    auto selected = axBool(element, "AXSelected");
    if (!selected) return std::nullopt;
    return State{"selection", *selected ? "selected" : "not-selected"};
  }
  return std::nullopt;
}

std::string elementLabel(const AXElement& element, std::string_view role) {
  std::optional<std::string> chosen;
  for (std::string_view attribute : LABEL_ATTRIBUTES) {
    auto text = axString(element, attribute);
    if (text && !isBlank(*text)) {
      chosen = std::move(text);
      break;
    }
  }
  // A static text speaks through its value, even an empty one.
  if (!chosen && role == "AXStaticText") chosen = axString(element, "AXValue");
  if (!chosen) return {};
  return safeDisplay(*chosen, MAX_LABEL_UNITS);
}

std::string elementFingerprint(const AXElement& element, std::string_view role,
                               std::string_view label, std::string_view path) {
  const std::string subrole = axString(element, "AXSubrole").value_or("");
  const std::string identifier = axString(element, "AXIdentifier").value_or("");
  std::string text = "element|";
  for (std::string_view part :
       {role, std::string_view(subrole), label, std::string_view(identifier)}) {
    text.append(part);
    text.push_back('|');
  }
  text.append(path);
  return sha256Hex(text);
}

std::vector<std::string> supportedActions(const AXElement& element, std::string_view role) {
  std::vector<std::string> actions;
  const auto names = axActions(element);
  if (std::find(names.begin(), names.end(), "AXPress") != names.end()) actions.push_back("click");
  if (isTextInputRole(role) && role != "AXSecureTextField" && axSettable(element, "AXValue") &&
      axString(element, "AXValue")) {
    actions.push_back("type");
  }
  if (role == "AXScrollArea") actions.push_back("scroll");
  return actions;
}

std::optional<std::string> currentStringValue(const AXElement& element) {
  return axString(element, "AXValue");
}

void requireElementCurrent(const ElementEntry& entry) {
  const auto role = axString(entry.element, "AXRole");
  if (!role || *role != entry.role) {
    throw SafeError("stale_element", "element changed or disappeared");
  }
  // Labels compare as text: canonically equivalent spellings are the same label.
  if (!canonicalEquals(elementLabel(entry.element, *role), entry.label)) {
    throw SafeError("stale_element", "element label changed");
  }
}

}  // namespace qcu
