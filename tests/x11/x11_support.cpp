#include "x11/x11_support.h"

#include "support/vdesk.h"

#include <X11/Xatom.h>

#include <cstdlib>

#include "desktop/x11/display.h"

namespace qcu::test {

Window TestClient::window(int x, int y, int width, int height, const std::string& title,
                          const std::string& type, const std::string& state,
                          const std::string& encoding) {
  child.write("window " + std::to_string(x) + " " + std::to_string(y) + " " +
              std::to_string(width) + " " + std::to_string(height) + " " + type + " " + state +
              " " + encoding + " " + title + "\n");
  auto line = child.readLine(10.0);
  if (!line) return 0;
  return static_cast<Window>(std::stoul(*line));
}

bool TestClient::command(const std::string& line) {
  child.write(line + "\n");
  auto answer = child.readLine(10.0);
  return answer && *answer == "ok";
}

TestClient startClient(const std::string& path) {
  return TestClient{spawnChild(path, {})};
}

std::optional<WinRec> rowOf(const std::vector<WinRec>& rows, Window window) {
  for (const auto& row : rows) {
    if (row.id == window) return row;
  }
  return std::nullopt;
}

bool waitListed(Window window, double seconds) {
  return waitFor([&] { return rowOf(cgWindows(), window).has_value(); }, seconds);
}

Rect expectedFrame(Display* display, Window client) {
  XWindowAttributes attributes;
  XGetWindowAttributes(display, client, &attributes);
  int x = 0, y = 0;
  Window child = None;
  XTranslateCoordinates(display, client, DefaultRootWindow(display), 0, 0, &x, &y, &child);
  long extents[4] = {0, 0, 0, 0};  // left, right, top, bottom
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, client, XInternAtom(display, "_NET_FRAME_EXTENTS", False), 0, 4,
                         False, XA_CARDINAL, &type, &format, &count, &after, &data) == Success &&
      data && count == 4) {
    for (int i = 0; i < 4; ++i)
      extents[i] = reinterpret_cast<long*>(data)[i];
  }
  if (data) XFree(data);
  return Rect{static_cast<double>(x - extents[0]), static_cast<double>(y - extents[2]),
              static_cast<double>(attributes.width + extents[0] + extents[1]),
              static_cast<double>(attributes.height + extents[2] + extents[3])};
}

void X11Test::SetUp() {
  // Every test process runs on a private virtual desktop of its own, never on the user's.
  const char* display = nullptr;
  try {
    display = virtualDesktop().display.c_str();
  } catch (const std::exception& error) {
    FAIL() << "no virtual desktop: " << error.what();
  }
  ASSERT_TRUE(x11::displayOpen(nullptr)) << "the backend cannot open DISPLAY " << display;
  test = XOpenDisplay(nullptr);
  ASSERT_NE(test, nullptr) << "the test connection cannot open DISPLAY " << display;
  // A desktop left idle longer than the screen saver's timeout reads as locked: start awake.
  XForceScreenSaver(test, ScreenSaverReset);
  XSync(test, False);
}

void X11Test::TearDown() {
  if (test) XCloseDisplay(test);
  x11::displayClose();
}

}  // namespace qcu::test
