// The Linux desktop backend: start-up here, and the parts not built yet, which answer honestly
// and fail closed: no clipboard count, no input counter, no synthetic input and no
// accessibility elements. Which thread may touch which connection: see display.h. The window
// list, applications and processes, session and permissions, and window capture have files of
// their own.
#include "desktop/platform.h"
#include "desktop/x11/display.h"

namespace qcu {

// Opens the display named by DISPLAY. Without one the helper still starts and refuses every
// request that needs the desktop.
bool platformInit(int, char**) {
  x11::displayOpen(nullptr);
  return true;
}
std::string platformName() {
  return "linux";
}

std::int64_t platformPasteboardChangeCount() {
  return 0;
}

bool platformEventCounterAvailable() {
  return false;
}
std::uint32_t platformEventCount(std::uint32_t, std::uint32_t) {
  return 0;
}

// No synthetic input yet: there is no source, and nothing is ever posted.
std::optional<InputSource> platformCreateInputSource() {
  return std::nullopt;
}
bool platformPostMouseEvent(const InputSource&, MouseEventType, Point, std::int64_t) {
  return false;
}
bool platformPostScrollWheel(const InputSource&, std::int32_t, std::int32_t) {
  return false;
}
bool platformPostKeyEvent(const InputSource&, std::uint16_t, bool, std::uint64_t) {
  return false;
}

void platformSetMessagingTimeout(double) {}
std::optional<AXElement> platformApplicationElement(std::int32_t) {
  return std::nullopt;
}
std::optional<AXValue> platformCopyAttribute(const AXElement&, std::string_view) {
  return std::nullopt;
}
std::optional<std::vector<std::string>> platformActionNames(const AXElement&) {
  return std::nullopt;
}
std::optional<bool> platformIsSettable(const AXElement&, std::string_view) {
  return std::nullopt;
}
bool platformSetAttribute(const AXElement&, std::string_view, const AXValue&) {
  return false;
}
bool platformPerformAction(const AXElement&, std::string_view) {
  return false;
}
bool platformHasWindowNumberLookup() {
  return false;
}
std::optional<std::uint32_t> platformWindowNumberOfElement(const AXElement&) {
  return std::nullopt;
}
bool platformSameElement(const AXElement& a, const AXElement& b) {
  return a.ref == b.ref;
}

}  // namespace qcu
