// Typed accessibility attribute readers (every failure reads as no value), window-element
// matching and title choice.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/platform.h"
#include "desktop/windows.h"

namespace qcu {

std::optional<AXValue> axAttr(const AXElement& element, std::string_view name);
std::optional<std::string> axString(const AXElement& element, std::string_view name);
std::optional<bool> axBool(const AXElement& element, std::string_view name);
std::vector<AXElement> axChildren(const AXElement& element);
std::optional<Point> axPoint(const AXElement& element, std::string_view name);
std::optional<Size> axSize(const AXElement& element, std::string_view name);
std::optional<Rect> axFrame(const AXElement& element);
std::vector<std::string> axActions(const AXElement& element);
bool axSettable(const AXElement& element, std::string_view name);

// The accessibility element of one window-list row, or none (an ambiguous match is none).
std::optional<AXElement> axWindowElement(const WinRec& record);
// The window's normalised title, or the empty string.
std::string resolveTitle(const WinRec& record, const std::optional<AXElement>& window);

}  // namespace qcu
