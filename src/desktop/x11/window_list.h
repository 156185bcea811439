// The top-level windows of the X11 desktop as the backend sees them.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "desktop/platform.h"

namespace qcu::x11 {

// Layers. 0 is an ordinary application window: only those can be in front, under a point or a
// candidate. Everything else gets a layer of its own so that the common code passes over it.
inline constexpr int LAYER_DESKTOP = -1000;  // the desktop background window
inline constexpr int LAYER_BELOW = -2;       // kept below other windows
// Minimised, on another workspace or otherwise unmapped. Listed rather than left out, so that a
// bound window that is minimised keeps its identity (it is not "destroyed") and activation can
// bring it back.
inline constexpr int LAYER_HIDDEN = -1;
inline constexpr int LAYER_NORMAL = 0;
// Kept above others: the above state, floating palettes and toolbars, splash screens.
inline constexpr int LAYER_ABOVE = 3;
inline constexpr int LAYER_DOCK = 20;  // panels and docks
// Menus, tooltips, notifications and other override-redirect windows.
inline constexpr int LAYER_POPUP = 101;

// The process of a window whose process the server cannot tell (a remote client): a pid that
// names no process, so the row still counts where it covers others but is no one's window.
inline constexpr std::int32_t NO_PROCESS = -1;

struct WindowFacts {
  Window client = None;  // the application's window; its id is the window number
  Window frame = None;   // the client's ancestor just below the root (the client itself unframed)
  std::int32_t pid = NO_PROCESS;
  Rect bounds;  // the frame's outer rectangle in root coordinates
  int layer = LAYER_NORMAL;
  double alpha = 1.0;
  std::string title;
  std::string className;      // the class part of WM_CLASS
  std::string applicationId;  // _GTK_APPLICATION_ID
};

// Whether a live EWMH manager runs: the root's _NET_SUPPORTING_WM_CHECK names a window that
// exists and names itself. A dead manager's properties are not trusted. On a held connection.
bool managerAlive(Display* display, Window root);

// The client's ancestor just below the root (the client itself when it is a top-level); None
// when the client is gone.
Window frameOf(Display* display, Window root, Window client);

// The top-level windows front to back; none when there is no usable display.
std::optional<std::vector<WindowFacts>> listWindows();

// What the latest list said about the windows of a process (for each fact, the front-most window
// that has it), when that list is at most maxAgeSeconds old, had windows of the process and the
// process is still the one that owned them then; else none.
struct ProcessWindows {
  std::string className;
  std::string applicationId;
};
std::optional<ProcessWindows> recentProcessWindows(std::int32_t pid, double maxAgeSeconds);

// Asks the window manager to activate the window (else raises it and gives it the input focus);
// true when the request was sent without an X error.
bool activateWindow(const WindowFacts& target);

}  // namespace qcu::x11
