// The Linux desktop backend: start-up here, and the parts not built yet, which answer honestly
// and fail closed: no window captures and no accessibility elements. Which thread may touch which
// connection: see display.h. The window list, applications and processes, session and
// permissions, input and the clipboard have files of their own.
#include <cstdlib>

#include "desktop/platform.h"
#include "desktop/x11/display.h"
#include "desktop/x11/input.h"

namespace qcu {

// Opens the display named by DISPLAY. Without one the helper still starts and refuses every
// request that needs the desktop.
bool platformInit(int, char**) {
  // First, while this is the only thread: the watcher is forked.
  const char* name = std::getenv("DISPLAY");
  if (name && *name) x11::watchPairAfterExit();
  if (x11::displayOpen(nullptr)) {
    {
      x11::RequestScope scope;
      if (scope) x11::removeStalePairs(scope.display);
    }
    x11::startInputCounter();
    x11::startClipboardWatch();
  }
  return true;
}
std::string platformName() {
  return "linux";
}

// No window can be captured yet: every capture fails to start.
std::optional<WindowCapture> platformStartWindowCapture(std::uint32_t, const std::string&) {
  return std::nullopt;
}
bool platformCaptureRunning(const WindowCapture&) {
  return false;
}
void platformTerminateCapture(const WindowCapture&) {}
std::optional<int> platformCaptureExitStatus(const WindowCapture&) {
  return std::nullopt;
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
