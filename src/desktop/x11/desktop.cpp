// The Linux desktop backend: start-up here. Which thread may touch which connection: see
// display.h. The window list, applications and processes, session and permissions, input, the
// clipboard, window capture and accessibility (atspi.cpp) have files of their own.
#include <cstdlib>

#include "desktop/platform.h"
#include "desktop/x11/atspi_bus.h"
#include "desktop/x11/bus.h"
#include "desktop/x11/display.h"
#include "desktop/x11/input.h"

namespace qcu {

// Opens the display named by DISPLAY. Without one the helper still starts and refuses every
// request that needs the desktop.
bool platformInit(int, char**) {
  x11::atspi::keepGLibOffStdout();
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
  // The lock services' buses start connecting now, beside the start-up, so that the first
  // request does not wait for them and read as locked meanwhile.
  for (auto bus : {x11::Bus::Session, x11::Bus::System}) {
    if (GDBusConnection* connection = x11::busConnection(bus, 0)) g_object_unref(connection);
  }
  return true;
}
std::string platformName() {
  return "linux";
}

}  // namespace qcu
