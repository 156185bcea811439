#include "observation/surface.h"

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <variant>
#include <vector>

#include "desktop/accessibility.h"
#include "desktop/platform.h"
#include "desktop/windows.h"
#include "foundation/clock.h"
#include "foundation/errors.h"
#include "foundation/limits.h"
#include "foundation/text.h"
#include "observation/element.h"

namespace qcu {

namespace {

// Shortest decimal text of a number that reads back as the same value.
std::string numberText(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  for (int precision = 1; precision <= 17; ++precision) {
    char shorter[32];
    std::snprintf(shorter, sizeof shorter, "%.*g", precision, value);
    if (std::strtod(shorter, nullptr) == value) return shorter;
  }
  return buffer;
}

// role|label[|value][|sel:0 or 1]
std::string elementLine(const AXElement& element) {
  const std::string role = axString(element, "AXRole").value_or("");
  std::string line = role + "|" + elementLabel(element, role);
  if (const auto value = axAttr(element, "AXValue")) {
    if (const auto* text = std::get_if<std::string>(&*value)) {
      line += "|" + clipGraphemes(*text, SURFACE_FINGERPRINT_VALUE_CHARS);
    } else if (const auto* integer = std::get_if<std::int64_t>(&*value)) {
      line += "|" + std::to_string(*integer);
    } else if (const auto* real = std::get_if<double>(&*value)) {
      line += "|" + numberText(*real);
    } else if (const auto* flag = std::get_if<bool>(&*value)) {
      // A boolean value is a number on the accessibility interface: 1 or 0.
      line += *flag ? "|1" : "|0";
    }
  }
  if (const auto selected = axBool(element, "AXSelected")) line += *selected ? "|sel:1" : "|sel:0";
  return line;
}

// The selected text range as "{location, length}"; empty when it cannot be read as a range.
std::string rangeText(const AXElement& element) {
  const auto value = axAttr(element, "AXSelectedTextRange");
  if (!value) return "";
  const auto* range = std::get_if<TextRange>(&*value);
  if (!range) return "";
  return "{" + std::to_string(range->location) + ", " + std::to_string(range->length) + "}";
}

}  // namespace

std::string surfaceFingerprint(const Ident& ident, const CancelToken& token) {
  const auto row = findWindow(cgWindows(), ident);
  if (!row) throw SafeError("target_destroyed", "window no longer exists");
  const auto window = axWindowElement(*row);
  if (!window) throw SafeError("target_destroyed", "window no longer exists");

  std::vector<std::string> lines;
  lines.push_back(axString(*window, "AXTitle").value_or(""));

  std::deque<AXElement> queue{*window};
  // Monotonic time: a wall-clock jump between two fingerprints must not cut one walk short,
  // which would make an unchanged window look changed.
  const SteadyTime start = steadyNow();
  for (int position = 0; position < SURFACE_FINGERPRINT_ELEMENTS && !queue.empty(); ++position) {
    if (!(Seconds(steadyNow() - start).count() < SURFACE_FINGERPRINT_BUDGET)) {
      break;
    }
    token.check();
    const AXElement element = queue.front();
    queue.pop_front();
    lines.push_back(elementLine(element));
    for (auto& child : axChildren(element))
      queue.push_back(std::move(child));
  }

  if (const auto app = platformApplicationElement(ident.pid)) {
    const auto focused = axAttr(*app, "AXFocusedUIElement");
    if (focused) {
      if (const auto* element = std::get_if<AXElement>(&*focused); element && *element) {
        lines.push_back("focus:" + axString(*element, "AXRole").value_or("") + rangeText(*element));
      }
    }
  }

  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += '\n';
    text += lines[i];
  }
  return sha256Hex(text);
}

}  // namespace qcu
