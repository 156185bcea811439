// Where a key may go: only to a focus inside the frame of the front-most ordinary window, and a
// refused key leaves nothing down.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <X11/Xatom.h>
#include <X11/extensions/XRes.h>
#include <X11/keysym.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "desktop/x11/input.h"
#include "x11/input_fixture.h"
#include "x11/x11_support.h"

namespace qcu::test {
namespace {

using KeyFocusTest = X11InputTest;

// Holds the window manager still while it lives, so that the focus stays where a test put it: a
// running manager gives the focus to a window of its choice once it goes to None or PointerRoot.
struct ManagerHold {
  pid_t pid = 0;
  explicit ManagerHold(Display* display) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    Window check = None;
    if (XGetWindowProperty(display, DefaultRootWindow(display),
                           XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False), 0, 1, False,
                           XA_WINDOW, &type, &format, &count, &after, &data) == Success &&
        data && count == 1) {
      check = static_cast<Window>(reinterpret_cast<unsigned long*>(data)[0]);
    }
    if (data) XFree(data);
    XResClientIdSpec wanted{check, XRES_CLIENT_ID_PID_MASK};
    long idCount = 0;
    XResClientIdValue* ids = nullptr;
    if (check != None && XResQueryClientIds(display, 1, &wanted, &idCount, &ids) == Success) {
      for (long i = 0; i < idCount; ++i) {
        if (XResGetClientIdType(&ids[i]) == XRES_CLIENT_ID_PID) pid = XResGetClientPid(&ids[i]);
      }
      XResClientIdsDestroy(idCount, ids);
    }
    EXPECT_GT(pid, 0) << "the window manager's process was not found";
    if (pid > 0) kill(pid, SIGSTOP);
  }
  ~ManagerHold() {
    if (pid > 0) kill(pid, SIGCONT);
  }
};

// A mapped child window inside another, taking key events.
Window showChild(Display* display, Window parent) {
  XSetWindowAttributes attributes{};
  attributes.event_mask = KeyPressMask | KeyReleaseMask;
  Window child = XCreateWindow(display, parent, 10, 10, 100, 50, 0, CopyFromParent, InputOutput,
                               CopyFromParent, CWEventMask, &attributes);
  XMapWindow(display, child);
  EXPECT_TRUE(waitFor([&] {
    XWindowAttributes now{};
    return XGetWindowAttributes(display, child, &now) && now.map_state == IsViewable;
  }));
  return child;
}

// Puts the focus on the target and confirms that it stayed there.
void focusOn(Display* display, Window target, int revertTo) {
  XSetInputFocus(display, target, revertTo, CurrentTime);
  XSync(display, False);
  Window focus = None;
  int revert = 0;
  XGetInputFocus(display, &focus, &revert);
  ASSERT_EQ(focus, target) << "the focus did not stay where the test put it";
  // Forget what arrived so far: the test looks for the key's events only.
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
  }
}

// The slave that carries the helper's keys.
int slaveKeyboard(Display* display) {
  return deviceNamed(display, x11::pairName(getpid()) + " XTEST keyboard");
}

TEST_F(KeyFocusTest, AKeyReachesOnlyAFocusInsideTheFrontWindow) {
  const int width = DisplayWidth(test, DefaultScreen(test));
  const int height = DisplayHeight(test, DefaultScreen(test));
  TestWindow below = showFrontWindow(test, 40, 40, 300, 200);
  TestWindow front = showFrontWindow(test, 120, 120, 300, 200);
  const Window child = showChild(test, front.window);
  // Above everything and over the corner where the private pointer waits, so that a key sent to
  // whatever lies under that pointer would arrive here.
  TestWindow popup = showWindow(test, width - 100, height - 100, 100, 100);
  auto from = source();
  const int keyboard = slaveKeyboard(test);
  ASSERT_NE(keyboard, 0);
  ManagerHold hold(test);

  struct Case {
    const char* what;
    Window focus;
    bool accepted;
  };
  const Case cases[] = {
      {"no focus", None, false},
      {"the focus following the pointer", PointerRoot, false},
      {"a top-level below the front window", below.window, false},
      {"an override-redirect window above it", popup.window, false},
      {"the front window's client", front.window, true},
      {"a child of the front window", child, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    focusOn(test, c.focus, RevertToNone);
    const bool posted = post(from, {platformMakeKeyEvent(from, XK_a, true, ControlMask)});
    EXPECT_EQ(posted, c.accepted);
    if (posted) ASSERT_TRUE(post(from, {platformMakeKeyEvent(from, XK_a, false, ControlMask)}));
    if (c.accepted) {
      auto press = front.next({KeyPress});
      ASSERT_TRUE(press.has_value()) << "the key never arrived";
      EXPECT_EQ(press->xkey.window, c.focus);
    } else {
      EXPECT_FALSE(front.next({KeyPress}, 0.5).has_value()) << "a refused key was delivered";
    }
    EXPECT_EQ(keysDown(test, keyboard), std::vector<int>{}) << "a key was left down";
  }
}

TEST_F(KeyFocusTest, AKeyWhoseFocusVanishedAfterItWasMadeIsRefusedWithNothingLeftDown) {
  TestWindow below = showFrontWindow(test, 40, 40, 300, 200);
  TestWindow front = showFrontWindow(test, 120, 120, 300, 200);
  const Window child = showChild(test, front.window);
  auto from = source();
  const int keyboard = slaveKeyboard(test);
  ASSERT_NE(keyboard, 0);
  ManagerHold hold(test);

  struct Case {
    const char* what;
    Window focus;
    int revertTo;
  };
  // The focus reverts to None, then to PointerRoot, as the window holding it goes.
  const Case cases[] = {
      {"a focused child of the front window", child, RevertToNone},
      {"the focused front window itself", front.window, RevertToPointerRoot},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    focusOn(test, c.focus, c.revertTo);
    auto down = platformMakeKeyEvent(from, XK_a, true, ControlMask | ShiftMask);
    ASSERT_TRUE(down.has_value());
    XDestroyWindow(test, c.focus);
    XSync(test, False);
    EXPECT_FALSE(platformPostEvent(from, *down)) << "a key went to a focus nobody checked";
    EXPECT_FALSE(below.next({KeyPress}, 0.5).has_value()) << "a refused key was delivered";
    EXPECT_EQ(keysDown(test, keyboard), std::vector<int>{}) << "a key was left down";
  }
}

}  // namespace
}  // namespace qcu::test
