#include "desktop/accessibility.h"

#include <cmath>

#include "foundation/text.h"

namespace qcu {
namespace {

// Largest difference, in points, between a window element's frame and the window-list bounds
// for the two to be taken as the same window.
constexpr double FRAME_TOLERANCE = 2.0;

bool finite(double a, double b) {
  return std::isfinite(a) && std::isfinite(b);
}

bool near(double a, double b) {
  return std::fabs(a - b) <= FRAME_TOLERANCE;
}

}  // namespace

std::optional<AXValue> axAttr(const AXElement& element, std::string_view name) {
  if (!element) return std::nullopt;
  return platformCopyAttribute(element, name);
}

std::optional<std::string> axString(const AXElement& element, std::string_view name) {
  auto value = axAttr(element, name);
  if (!value) return std::nullopt;
  if (auto* text = std::get_if<std::string>(&*value)) return std::move(*text);
  return std::nullopt;
}

std::optional<bool> axBool(const AXElement& element, std::string_view name) {
  auto value = axAttr(element, name);
  if (!value) return std::nullopt;
  if (auto* flag = std::get_if<bool>(&*value)) return *flag;
  if (auto* integer = std::get_if<std::int64_t>(&*value)) return *integer != 0;
  // A number that is not a number has no truth value.
  if (auto* real = std::get_if<double>(&*value)) {
    if (std::isnan(*real)) return std::nullopt;
    return *real != 0;
  }
  return std::nullopt;
}

std::vector<AXElement> axChildren(const AXElement& element) {
  std::vector<AXElement> children;
  auto value = axAttr(element, "AXChildren");
  if (!value) return children;
  if (auto* list = std::get_if<std::vector<AXElement>>(&*value)) {
    for (auto& child : *list) {
      if (child) children.push_back(std::move(child));
    }
  }
  return children;
}

// Geometry with a coordinate that is not finite reads as no value: it could not be compared
// or contained meaningfully.
std::optional<Point> axPoint(const AXElement& element, std::string_view name) {
  auto value = axAttr(element, name);
  if (!value) return std::nullopt;
  auto* point = std::get_if<Point>(&*value);
  if (!point || !finite(point->x, point->y)) return std::nullopt;
  return *point;
}

std::optional<Size> axSize(const AXElement& element, std::string_view name) {
  auto value = axAttr(element, name);
  if (!value) return std::nullopt;
  auto* size = std::get_if<Size>(&*value);
  if (!size || !finite(size->width, size->height)) return std::nullopt;
  return *size;
}

std::optional<Rect> axFrame(const AXElement& element) {
  auto position = axPoint(element, "AXPosition");
  if (!position) return std::nullopt;
  auto size = axSize(element, "AXSize");
  if (!size) return std::nullopt;
  return Rect{position->x, position->y, size->width, size->height};
}

std::vector<std::string> axActions(const AXElement& element) {
  if (!element) return {};
  return platformActionNames(element).value_or(std::vector<std::string>{});
}

bool axSettable(const AXElement& element, std::string_view name) {
  if (!element) return false;
  return platformIsSettable(element, name).value_or(false);
}

std::optional<AXElement> axWindowElement(const WinRec& record) {
  auto application = platformApplicationElement(record.pid);
  if (!application) return std::nullopt;
  auto windowsValue = axAttr(*application, "AXWindows");
  if (!windowsValue) return std::nullopt;
  auto* windows = std::get_if<std::vector<AXElement>>(&*windowsValue);
  if (!windows) return std::nullopt;

  // Window number 0 names no window, so it is never looked up.
  if (record.id != 0 && platformHasWindowNumberLookup()) {
    for (const auto& window : *windows) {
      if (!window) continue;
      auto number = platformWindowNumberOfElement(window);
      if (number && *number == record.id) return window;
    }
  }

  // Geometric pass: exactly one window element within the tolerance of the row's bounds.
  std::optional<AXElement> match;
  for (const auto& window : *windows) {
    if (!window) continue;
    auto position = axPoint(window, "AXPosition");
    if (!position) continue;
    auto size = axSize(window, "AXSize");
    if (!size) continue;
    if (near(position->x, record.bounds.x) && near(position->y, record.bounds.y) &&
        near(size->width, record.bounds.width) && near(size->height, record.bounds.height)) {
      if (match) return std::nullopt;  // ambiguous: no match
      match = window;
    }
  }
  return match;
}

std::string resolveTitle(const WinRec& record, const std::optional<AXElement>& window) {
  // Emptiness is tested before normalisation: a white-space window-list title wins and
  // normalises to the empty string.
  if (!record.name.empty()) return normalizeTitle(record.name);
  if (window) {
    auto title = axString(*window, "AXTitle");
    if (title && !title->empty()) return normalizeTitle(*title);
  }
  return {};
}

}  // namespace qcu
