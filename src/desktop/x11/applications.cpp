// Processes and applications: process facts from /proc, who an application is from its windows,
// and activation.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "desktop/platform.h"
#include "desktop/procfs.h"
#include "desktop/x11/display.h"
#include "desktop/x11/window_list.h"

namespace qcu {
namespace {

// How old a window list may be for its application facts to stand in for a fresh one: long
// enough to serve every row of one candidate listing.
constexpr double RECENT_LIST_SECONDS = 1.0;

// EWMH source indication of a pager: managers honour it without focus-stealing checks.
constexpr long SOURCE_PAGER = 2;

// The executable of a live process; none when it cannot be read (another user's process, a
// kernel thread, an exited process).
std::optional<std::string> executableOf(std::int32_t pid) {
  std::string link = "/proc/" + std::to_string(pid) + "/exe";
  char buffer[PATH_MAX];
  ssize_t length = readlink(link.c_str(), buffer, sizeof(buffer));
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof(buffer)) return std::nullopt;
  std::string path(buffer, static_cast<std::size_t>(length));
  // A binary replaced while it runs (an upgrade) still is that program.
  constexpr std::string_view DELETED = " (deleted)";
  if (path.size() > DELETED.size() && path.ends_with(DELETED))
    path.resize(path.size() - DELETED.size());
  return path;
}

std::optional<x11::ProcessWindows> windowsOf(std::int32_t pid) {
  if (auto recent = x11::recentProcessWindows(pid, RECENT_LIST_SECONDS)) return recent;
  if (!x11::listWindows()) return std::nullopt;
  return x11::recentProcessWindows(pid, RECENT_LIST_SECONDS);
}

// The process's front-most window to activate: an ordinary one, else a hidden one (minimised
// windows come back when activated); None when it has neither.
x11::WindowFacts activationTarget(const std::vector<x11::WindowFacts>& rows, std::int32_t pid) {
  const x11::WindowFacts* hidden = nullptr;
  for (const auto& row : rows) {
    if (row.pid != pid) continue;
    if (row.layer == x11::LAYER_NORMAL) return row;
    if (row.layer == x11::LAYER_HIDDEN && !hidden) hidden = &row;
  }
  return hidden ? *hidden : x11::WindowFacts{};
}

}  // namespace

std::optional<ProcessStart> platformProcessStart(std::int32_t pid) {
  return procfsProcessStart(pid);
}

bool platformProcessAlive(std::int32_t pid) {
  return procfsProcessAlive(pid);
}

// Executable from /proc; application id from _GTK_APPLICATION_ID, else the WM_CLASS class of the
// process's windows; display name the WM_CLASS class. A process without windows is still an
// application by its executable.
std::optional<RunningApp> platformRunningApplication(std::int32_t pid) {
  if (!procfsProcessAlive(pid)) return std::nullopt;
  RunningApp app;
  app.executablePath = executableOf(pid);
  if (auto windows = windowsOf(pid)) {
    if (!windows->className.empty()) app.localizedName = windows->className;
    if (!windows->applicationId.empty()) {
      app.bundleIdentifier = windows->applicationId;
    } else if (!windows->className.empty()) {
      app.bundleIdentifier = windows->className;
    }
  }
  return app;
}

bool platformActivateApplication(std::int32_t pid) {
  if (pid < 1) return false;
  auto rows = x11::listWindows();
  if (!rows) return false;
  x11::WindowFacts target = activationTarget(*rows, pid);
  if (target.client == None) return false;
  return x11::activateWindow(target);
}

namespace x11 {

bool activateWindow(const WindowFacts& target) {
  RequestScope scope;
  if (!scope) return false;
  Display* display = scope.display;
  unsigned long mark = scope.mark();
  if (managerAlive(display, scope.root)) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = target.client;
    event.xclient.message_type = atoms().netActiveWindow;
    event.xclient.format = 32;
    event.xclient.data.l[0] = SOURCE_PAGER;
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, scope.root, False, SubstructureRedirectMask | SubstructureNotifyMask,
               &event);
  } else {
    XRaiseWindow(display, target.frame);
    XSetInputFocus(display, target.client, RevertToParent, CurrentTime);
  }
  return scope.clean(mark);
}

}  // namespace x11

}  // namespace qcu
