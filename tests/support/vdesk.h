// The virtual desktop and the GTK test application, for end-to-end tests.
//
// A test process starts its desktop on first use with `scripts/vdesk start --watch-pid <own pid>`
// and exports DISPLAY, DBUS_SESSION_BUS_ADDRESS and XDG_RUNTIME_DIR into its environment, so
// everything it starts afterwards runs on that desktop. The desktop is stopped at exit; when the
// process dies any other way (a crash, a timeout's SIGKILL), the desktop's supervisor sees it
// go and stops the desktop, ending whatever the test had started there too.
//
// Every wait has a deadline and throws std::runtime_error saying what it waited for.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "process/child.h"

namespace qcu::test {

struct VirtualDesktop {
  std::string display;     // DISPLAY
  std::string bus;         // DBUS_SESSION_BUS_ADDRESS
  std::string runtimeDir;  // XDG_RUNTIME_DIR, also the desktop's name for `scripts/vdesk stop`
};

// Starts the desktop of this process once and returns it.
const VirtualDesktop& virtualDesktop();

// Paths of the project's test programs and data.
std::string vdeskScript();
std::string fixturePath(const std::string& name);  // tests/fixtures/<name>

// The GTK test application, driven over its standard input.
struct TestApp {
  Child child;
  pid_t pid = -1;
  nlohmann::json windows;  // the ready line's windows: [{"number", "xid", "title"}]

  // Sends one command and returns its answer (the "id" is added and matched).
  nlohmann::json command(nlohmann::json request, double timeoutSeconds = 15);
};

// Starts the application on the virtual desktop (started first if needed) and waits for its
// ready line.
TestApp startTestApp(const std::vector<std::string>& arguments = {}, double timeoutSeconds = 30);

// The X11 client windows of pid (_NET_WM_PID) once at least count are listed, each
// {"xid", "pid", "title"}.
nlohmann::json waitForWindows(pid_t pid, std::size_t count, double timeoutSeconds = 20);
// Waits until ready(windows) holds for the windows of pid; returns them.
nlohmann::json waitForWindowsWhere(pid_t pid, const std::string& what,
                                   const std::function<bool(const nlohmann::json&)>& ready,
                                   double timeoutSeconds = 20);
// The accessibility tree of pid's application once it is registered with a window.
nlohmann::json waitForAccessibleApp(pid_t pid, double timeoutSeconds = 20);

// The node of an accessibility tree whose accessible id is id, or null.
const nlohmann::json* findAccessible(const nlohmann::json& tree, const std::string& id);

// Runs qcu-desk-probe with the arguments and returns its JSON line.
nlohmann::json probeDesktop(const std::vector<std::string>& arguments);

}  // namespace qcu::test
