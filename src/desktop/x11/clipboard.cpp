// The clipboard change count: every change of the CLIPBOARD selection's owner, as XFixes reports
// it on the event thread. Taking ownership again counts too (an application copying anew keeps
// its window as the owner), and so does an owner going away (the clipboard then empties).
#include <X11/extensions/Xfixes.h>

#include <atomic>
#include <cstdint>

#include "desktop/platform.h"
#include "desktop/x11/display.h"
#include "desktop/x11/input.h"

namespace qcu {
namespace x11 {
namespace {

std::atomic<std::int64_t> changes{0};
std::atomic<bool> watching{false};
int fixesEventBase = 0;  // written by the set-up and read by the handler, both on the event thread

bool setup(Display* display, Window root) {
  int error = 0, major = 0, minor = 0;
  if (!XFixesQueryExtension(display, &fixesEventBase, &error) ||
      !XFixesQueryVersion(display, &major, &minor)) {
    return false;
  }
  const Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
  if (clipboard == None) return false;
  XFixesSelectSelectionInput(display, root, clipboard,
                             XFixesSetSelectionOwnerNotifyMask |
                                 XFixesSelectionWindowDestroyNotifyMask |
                                 XFixesSelectionClientCloseNotifyMask);
  return true;
}

void handle(Display*, XEvent& event) {
  if (event.type == fixesEventBase + XFixesSelectionNotify) changes.fetch_add(1);
}

}  // namespace

bool startClipboardWatch() {
  watching.store(false);
  const bool started = addEventSource({"clipboard", setup, handle});
  watching.store(started);
  return started;
}

}  // namespace x11

using namespace x11;

// Without the watch no two reads are equal: a paste that must find the clipboard unchanged is
// refused rather than trusted.
std::int64_t platformPasteboardChangeCount() {
  if (!watching.load() || !displayUsable()) return changes.fetch_add(1) + 1;
  return changes.load();
}

}  // namespace qcu
