#include "x11/input_fixture.h"

#include <X11/Xutil.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XInput2.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>

#include "desktop/x11/display.h"
#include "desktop/x11/input.h"
#include "support/vdesk.h"
#include "x11/x11_support.h"

extern char** environ;

namespace qcu::test {

std::optional<XEvent> TestWindow::next(const std::vector<int>& types, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      for (int type : types) {
        if (event.type == type) return event;
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    poll(&fd, 1, static_cast<int>(left.count()));
  }
}

TestWindow showWindow(Display* display, int x, int y, int width, int height) {
  TestWindow shown;
  shown.display = display;
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = WhitePixel(display, DefaultScreen(display));
  attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                          StructureNotifyMask | FocusChangeMask;
  shown.window = XCreateWindow(display, DefaultRootWindow(display), x, y, width, height, 0,
                               CopyFromParent, InputOutput, CopyFromParent,
                               CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
  XMapRaised(display, shown.window);
  EXPECT_TRUE(shown.next({MapNotify}).has_value()) << "the test window was never mapped";
  XSetInputFocus(display, shown.window, RevertToParent, CurrentTime);
  EXPECT_TRUE(shown.next({FocusIn}).has_value()) << "the test window never got the focus";
  shown.x = x;
  shown.y = y;
  return shown;
}

TestWindow showFrontWindow(Display* display, int x, int y, int width, int height) {
  TestWindow shown;
  shown.display = display;
  XSetWindowAttributes attributes{};
  attributes.background_pixel = WhitePixel(display, DefaultScreen(display));
  attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                          StructureNotifyMask | FocusChangeMask;
  shown.window =
      XCreateWindow(display, DefaultRootWindow(display), x, y, width, height, 0, CopyFromParent,
                    InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &attributes);
  XSizeHints hints{};
  hints.flags = USPosition | USSize;
  hints.x = x;
  hints.y = y;
  hints.width = width;
  hints.height = height;
  XSetWMNormalHints(display, shown.window, &hints);
  XMapRaised(display, shown.window);
  const bool viewable = waitFor([&] {
    XWindowAttributes now{};
    return XGetWindowAttributes(display, shown.window, &now) && now.map_state == IsViewable;
  });
  EXPECT_TRUE(viewable) << "the manager never showed the test window";
  XSetInputFocus(display, shown.window, RevertToParent, CurrentTime);
  const bool front = waitFor([&] {
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    return focus == shown.window && frontWindowID(cgWindows()) == shown.window;
  });
  EXPECT_TRUE(front) << "the test window is not the focused front window";
  shown.x = x;
  shown.y = y;
  return shown;
}

int masterPointerNamed(Display* display, const std::string& pairName) {
  int count = 0, found = 0;
  XIDeviceInfo* info = XIQueryDevice(display, XIAllMasterDevices, &count);
  for (int i = 0; i < count; ++i) {
    if (info[i].use == XIMasterPointer && pairName + " pointer" == info[i].name) {
      found = info[i].deviceid;
    }
  }
  if (info) XIFreeDeviceInfo(info);
  return found;
}

int deviceNamed(Display* display, const std::string& name) {
  int count = 0, found = 0;
  XIDeviceInfo* info = XIQueryDevice(display, XIAllDevices, &count);
  for (int i = 0; i < count; ++i) {
    if (name == info[i].name) found = info[i].deviceid;
  }
  if (info) XIFreeDeviceInfo(info);
  return found;
}

std::optional<std::vector<int>> keysDown(Display* display, int device) {
  XDevice* opened = device ? XOpenDevice(display, static_cast<XID>(device)) : nullptr;
  if (!opened) return std::nullopt;
  std::optional<std::vector<int>> down;
  if (XDeviceState* state = XQueryDeviceState(display, opened)) {
    auto* item = state->data;
    for (int i = 0; i < state->num_classes; ++i) {
      if (item->c_class == KeyClass) {
        const auto* keys = reinterpret_cast<const XKeyState*>(item);
        down.emplace();
        for (int code = 0; code < 256; ++code) {
          if (keys->keys[code / 8] & (1 << (code % 8))) down->push_back(code);
        }
      }
      item = reinterpret_cast<XInputClass*>(reinterpret_cast<char*>(item) + item->length);
    }
    XFreeDeviceState(state);
  }
  XCloseDevice(display, opened);
  return down;
}

int runProgram(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const auto& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void X11InputTest::SetUp() {
  // Every test process runs on a private virtual desktop of its own, never on the user's.
  const char* name = nullptr;
  try {
    name = virtualDesktop().display.c_str();
  } catch (const std::exception& error) {
    FAIL() << "no virtual desktop: " << error.what();
  }
  ASSERT_TRUE(x11::displayOpen(nullptr)) << "cannot open the display " << name;
  ASSERT_TRUE(x11::startInputCounter()) << "the input counter did not start";
  ASSERT_TRUE(x11::startClipboardWatch()) << "the clipboard watch did not start";
  test = XOpenDisplay(nullptr);
  ASSERT_NE(test, nullptr);
  int opcode = 0, event = 0, error = 0, major = 2, minor = 2;
  ASSERT_TRUE(XQueryExtension(test, "XInputExtension", &opcode, &event, &error));
  ASSERT_EQ(XIQueryVersion(test, &major, &minor), Success);
}

void X11InputTest::TearDown() {
  if (test) XCloseDisplay(test);
  x11::displayClose();
}

InputSource X11InputTest::source() {
  auto made = platformCreateInputSource();
  EXPECT_TRUE(made.has_value()) << "no input source";
  return made.value_or(InputSource{});
}

bool X11InputTest::post(const InputSource& from,
                        const std::vector<std::optional<InputEvent>>& events) {
  for (const auto& event : events) {
    if (!event || !platformPostEvent(from, *event)) return false;
  }
  return true;
}

}  // namespace qcu::test
