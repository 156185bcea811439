// Observed accessibility elements and how they are described.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "desktop/platform.h"
#include "foundation/clock.h"
#include "session/identity.h"

namespace qcu {

// An element registered by an observation; immutable after creation and shared between the
// session store and whoever resolved it.
struct ElementEntry {
  std::string backendRef;
  Ident identity;
  AXElement element;  // strong reference for the entry's life
  std::string role;
  std::string label;
  std::string fingerprint;
  std::optional<std::string> stateKind;
  TimePoint expires;
};

// Longest element label, in UTF-16 code units.
inline constexpr std::size_t MAX_LABEL_UNITS = 300;

// The functions below read the element through the accessibility interface and never write to
// it. role is the role the caller read from the element; only requireElementCurrent reads it
// itself. None of them fails except requireElementCurrent: an unreadable attribute is absent.

// (kind, value): ("toggle", "on" | "off" | "indeterminate") for check boxes and switches,
// ("selection", "selected" | "not-selected") for radio buttons, tabs, rows and cells.
std::optional<std::pair<std::string, std::string>> elementState(const AXElement& element,
                                                                std::string_view role);
// The first non-blank of title, description, placeholder and help (a static text falls back to
// its value), line breaks made spaces, clipped to MAX_LABEL_UNITS; possibly empty.
std::string elementLabel(const AXElement& element, std::string_view role);
// Unsalted SHA-256 of "element|role|subrole|label|identifier|path", 64 lower-case hex digits.
std::string elementFingerprint(const AXElement& element, std::string_view role,
                               std::string_view label, std::string_view path);
// The input actions offered for the element, in the order "click", "type", "scroll".
std::vector<std::string> supportedActions(const AXElement& element, std::string_view role);
// The element's value when it is a string.
std::optional<std::string> currentStringValue(const AXElement& element);
// Fails with "stale_element" unless the element still has the recorded role and label.
void requireElementCurrent(const ElementEntry& entry);

// Whether elements of the role take typed text (secure text fields included).
bool isTextInputRole(std::string_view role);

}  // namespace qcu
