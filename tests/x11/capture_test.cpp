// Window capture on a real X server: covered windows come out clean or not at all, the picture
// is the frame's, and no capture ever leaves a file, a redirection or a picture behind when it
// is stopped, when its window goes or when the display is lost.
// GoogleTest comes before the X11 headers, whose macros (None, Bool, Status) it would not survive.
#include <gtest/gtest.h>
// clang-format off
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>
// clang-format on
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "desktop/platform.h"
#include "desktop/windows.h"
#include "desktop/x11/capture.h"
#include "desktop/x11/display.h"
#include "desktop/x11/window_list.h"
#include "foundation/clock.h"
#include "observation/screenshot.h"
#include "process/child.h"
#include "support/vdesk.h"
#include "x11/x11_support.h"

namespace qcu::test {
namespace {

constexpr unsigned long RED = 0xFF0000;
constexpr unsigned long BLUE = 0x0000FF;

bool exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

bool viewable(Display* display, Window window) {
  XWindowAttributes attributes;
  return XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
}

// A top-level window with a background of None: only its application ever fills it. With a
// painter, a thread on a connection of its own paints it in one colour for every Expose, after
// a delay, the way a busy application repaints; without one it never repaints, like a hung one.
struct AppWindow {
  Display* display = nullptr;
  Window window = None;
  std::thread painter;
  std::atomic<bool> stop{false};
  std::atomic<int> paints{0};

  ~AppWindow() {
    stop = true;
    if (painter.joinable()) painter.join();
    if (display) XCloseDisplay(display);
  }
};

std::unique_ptr<AppWindow> openApp(int x, int y, int width, int height, unsigned long colour,
                                   std::chrono::milliseconds delay, bool paints) {
  auto app = std::make_unique<AppWindow>();
  app->display = XOpenDisplay(nullptr);
  if (!app->display) return app;
  Display* display = app->display;
  XSetWindowAttributes attributes{};
  attributes.background_pixmap = None;
  app->window =
      XCreateWindow(display, DefaultRootWindow(display), x, y, width, height, 0, CopyFromParent,
                    InputOutput, CopyFromParent, CWBackPixmap, &attributes);
  XSizeHints hints{};
  hints.flags = USPosition | USSize;
  hints.x = x;
  hints.y = y;
  hints.width = width;
  hints.height = height;
  XSetWMNormalHints(display, app->window, &hints);
  XStoreName(display, app->window, "capture test");
  XSelectInput(display, app->window, ExposureMask);
  XMapWindow(display, app->window);
  XSync(display, False);
  if (!paints) return app;
  app->painter = std::thread([app = app.get(), colour, delay, width, height] {
    Display* own = app->display;
    GC gc = XCreateGC(own, app->window, 0, nullptr);
    XSetForeground(own, gc, colour);
    while (!app->stop) {
      while (XPending(own) > 0) {
        XEvent event;
        XNextEvent(own, &event);
        if (event.type != Expose) continue;
        std::this_thread::sleep_for(delay);
        XFillRectangle(own, app->window, gc, 0, 0, width, height);
        XSync(own, False);
        ++app->paints;
      }
      pollfd connection{ConnectionNumber(own), POLLIN, 0};
      poll(&connection, 1, 10);
    }
    XFreeGC(own, gc);
  });
  return app;
}

// What a capture left once it ended.
struct Ended {
  bool started = false;
  std::optional<int> status;
  std::optional<CapturedPixels> pixels;
};

Ended captureToEnd(Window window, const std::string& path) {
  Ended ended;
  auto capture = platformStartWindowCapture(static_cast<std::uint32_t>(window), path);
  if (!capture) return ended;
  ended.started = true;
  EXPECT_TRUE(waitFor([&] { return !platformCaptureRunning(*capture); }))
      << "the capture of " << window << " did not end";
  ended.status = platformCaptureExitStatus(*capture);
  ended.pixels = platformTakeCapturedPixels(*capture);
  return ended;
}

std::uint32_t pixelAt(const CapturedPixels& picture, int x, int y) {
  return picture.pixels[static_cast<std::size_t>(y) * picture.width + x] & 0xFFFFFF;
}

class CaptureTest : public X11Test {
 protected:
  void SetUp() override {
    X11Test::SetUp();
    path = captureFilePath();
  }

  void TearDown() override {
    // Captures end on their own; the capture thread's connection must not outlive the display.
    EXPECT_TRUE(x11::closeCaptureConnection(20.0))
        << x11::capturesUnfinished() << " captures never ended";
    EXPECT_FALSE(exists(path)) << "a capture left " << path;
    unlink(path.c_str());
    X11Test::TearDown();
  }

  // A plain window of one colour that the server paints, mapped above everything and left alone
  // by the window manager.
  Window cover(int x, int y, int width, int height, unsigned long colour) {
    XSetWindowAttributes attributes{};
    attributes.background_pixel = colour;
    attributes.override_redirect = True;
    Window window =
        XCreateWindow(test, DefaultRootWindow(test), x, y, width, height, 0, CopyFromParent,
                      InputOutput, CopyFromParent, CWBackPixel | CWOverrideRedirect, &attributes);
    XMapRaised(test, window);
    XSync(test, False);
    return window;
  }

  Window frameOf(Window client) { return x11::frameOf(test, DefaultRootWindow(test), client); }

  XWindowAttributes attributesOf(Window window) {
    XWindowAttributes attributes{};
    XGetWindowAttributes(test, window, &attributes);
    return attributes;
  }

  // Waits until the window manager has framed and shown the client.
  bool shown(Window client) {
    return waitFor(
        [&] { return viewable(test, client) && rowOf(client) && viewable(test, frameOf(client)); });
  }

  std::optional<WinRec> rowOf(Window client) {
    for (const WinRec& row : cgWindows()) {
      if (row.id == client) return row;
    }
    return std::nullopt;
  }

  // Whether the frame has a composite pixmap, asked on a connection whose errors are recorded.
  static bool redirected(Window frame) {
    x11::OwnConnection own = x11::openConnection();
    if (!own) return false;
    unsigned long mark = own.mark();
    Pixmap pixmap = XCompositeNameWindowPixmap(own.display, frame);
    bool named = own.clean(mark);
    if (named) XFreePixmap(own.display, pixmap);
    x11::closeConnection(own);
    return named;
  }

  std::string path;
};

TEST_F(CaptureTest, ACoveredWindowComesOutCleanAndFrameSized) {
  // The application repaints a quarter of a second after each exposure: long after the capture
  // has redirected the window and could already read it.
  auto app = openApp(100, 100, 240, 160, RED, std::chrono::milliseconds(250), true);
  ASSERT_TRUE(app->window) << "the test application has no window";
  ASSERT_TRUE(shown(app->window)) << "the window was never shown";
  ASSERT_TRUE(waitFor([&] { return app->paints.load() > 0; })) << "the window was never painted";
  const Window frame = frameOf(app->window);
  const XWindowAttributes outer = attributesOf(frame);
  // The right half of the frame, and more, lies under another window.
  cover(outer.x + outer.width / 2, outer.y - 20, outer.width, outer.height + 40, BLUE);
  ASSERT_FALSE(redirected(frame)) << "something else already redirects the window";

  Ended ended = captureToEnd(app->window, path);
  ASSERT_TRUE(ended.started);
  ASSERT_EQ(ended.status, 0);
  ASSERT_TRUE(ended.pixels);
  const CapturedPixels& picture = *ended.pixels;
  auto row = rowOf(app->window);
  ASSERT_TRUE(row);
  EXPECT_EQ(static_cast<double>(picture.width), row->bounds.width) << "not the listed frame's";
  EXPECT_EQ(static_cast<double>(picture.height), row->bounds.height) << "not the listed frame's";
  ASSERT_EQ(picture.pixels.size(), static_cast<std::size_t>(picture.width) * picture.height);
  // Every pixel of the client, covered or not, is its own colour.
  int x = 0, y = 0;
  Window child = None;
  XTranslateCoordinates(test, app->window, frame, 0, 0, &x, &y, &child);
  int wrong = 0;
  for (int line = y; line < y + 160; ++line) {
    for (int column = x; column < x + 240; ++column)
      wrong += pixelAt(picture, column, line) != RED;
  }
  EXPECT_EQ(wrong, 0) << "pixels of the client that are not its own colour";
  EXPECT_FALSE(redirected(frame)) << "the capture left the window redirected";

  // The whole pipeline on the pixels: the small PNG shows the window's colour where it is
  // covered as well.
  auto url = windowPNG(*row, wallAfter(5));
  ASSERT_TRUE(url);
  const std::string prefix = "data:image/png;base64,";
  ASSERT_EQ(url->rfind(prefix, 0), 0u);
  EXPECT_FALSE(redirected(frame));
}

TEST_F(CaptureTest, ACoveredWindowThatIsNeverRepaintedGivesNoPicture) {
  // Whatever covered the window would still be in its fresh pixmap: no picture rather than that.
  auto app = openApp(120, 120, 200, 140, RED, std::chrono::milliseconds(0), false);
  ASSERT_TRUE(app->window && shown(app->window)) << "the window was never shown";
  const Window frame = frameOf(app->window);
  const XWindowAttributes outer = attributesOf(frame);
  cover(outer.x + 20, outer.y + 20, outer.width, outer.height, BLUE);

  Ended ended = captureToEnd(app->window, path);
  ASSERT_TRUE(ended.started);
  EXPECT_NE(ended.status, std::nullopt);
  EXPECT_NE(ended.status, 0);
  EXPECT_FALSE(ended.pixels);
  EXPECT_FALSE(redirected(frame)) << "the capture left the window redirected";
}

TEST_F(CaptureTest, TerminatingACaptureLeavesNothing) {
  // A covered window that is never repainted keeps the capture running until it is stopped.
  auto app = openApp(140, 140, 200, 140, RED, std::chrono::milliseconds(0), false);
  ASSERT_TRUE(app->window && shown(app->window)) << "the window was never shown";
  const Window frame = frameOf(app->window);
  const XWindowAttributes outer = attributesOf(frame);
  cover(outer.x + 20, outer.y + 20, outer.width, outer.height, BLUE);

  auto capture = platformStartWindowCapture(static_cast<std::uint32_t>(app->window), path);
  ASSERT_TRUE(capture);
  platformTerminateCapture(*capture);
  EXPECT_FALSE(platformCaptureRunning(*capture));
  EXPECT_EQ(platformCaptureExitStatus(*capture), std::nullopt);
  EXPECT_FALSE(platformTakeCapturedPixels(*capture));
  EXPECT_FALSE(exists(path));
  // Also once the capture thread has given it up.
  ASSERT_TRUE(waitFor([] { return x11::capturesUnfinished() == 0; }))
      << "the capture thread never gave up the stopped capture";
  EXPECT_EQ(platformCaptureExitStatus(*capture), std::nullopt);
  EXPECT_FALSE(platformTakeCapturedPixels(*capture));
  EXPECT_FALSE(exists(path));
  EXPECT_FALSE(redirected(frame)) << "the stopped capture left the window redirected";

  // Through the pipeline: a deadline that passes while the capture waits gives no picture.
  auto row = rowOf(app->window);
  ASSERT_TRUE(row);
  EXPECT_EQ(windowPNG(*row, wallAfter(0.2)), std::nullopt);
}

TEST_F(CaptureTest, WindowsThatCannotBeShownGiveAFailureAndNoPicture) {
  struct Case {
    const char* name;
    // Prepares the window to capture and returns it; may act on the capture once started.
    std::function<Window()> prepare;
    std::function<void(Window)> meanwhile;
  };
  std::unique_ptr<AppWindow> app;
  auto coveredHungWindow = [&] {
    app = openApp(160, 160, 200, 140, RED, std::chrono::milliseconds(0), false);
    if (!app->window || !shown(app->window)) return Window{None};
    const XWindowAttributes outer = attributesOf(frameOf(app->window));
    cover(outer.x + 20, outer.y + 20, outer.width, outer.height, BLUE);
    return app->window;
  };
  const Case cases[] = {
      {"destroyed before the capture",
       [&] {
         Window window = coveredHungWindow();
         XDestroyWindow(app->display, window);
         XSync(app->display, False);
         return window;
       },
       {}},
      {"destroyed while the capture waits for its repaint", coveredHungWindow,
       [&](Window window) {
         XDestroyWindow(app->display, window);
         XSync(app->display, False);
       }},
      {"unmapped",
       [&] {
         Window window = coveredHungWindow();
         XUnmapWindow(app->display, window);
         XSync(app->display, False);
         waitFor([&] { return !viewable(test, window); });
         return window;
       },
       {}},
      {"no window", [] { return Window{None}; }, {}},
      {"the root", [&] { return DefaultRootWindow(test); }, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Window window = c.prepare();
    auto capture = platformStartWindowCapture(static_cast<std::uint32_t>(window), path);
    ASSERT_TRUE(capture);
    if (c.meanwhile) c.meanwhile(window);
    ASSERT_TRUE(waitFor([&] { return !platformCaptureRunning(*capture); }))
        << "the capture did not end";
    auto status = platformCaptureExitStatus(*capture);
    EXPECT_NE(status, std::nullopt);
    EXPECT_NE(status, 0);
    EXPECT_FALSE(platformTakeCapturedPixels(*capture));
    EXPECT_FALSE(exists(path));
    app.reset();
  }
}

// An X server of the test's own that it can kill.
struct PrivateServer {
  std::optional<Child> server;
  std::string name;
  bool start() {
    server.emplace(spawnChild(
        "/usr/bin/Xvfb", {"-displayfd", "1", "-screen", "0", "640x480x24", "-nolisten", "tcp"}));
    auto number = server->readLine(20.0);
    if (!number) return false;
    name = ":" + *number;
    return true;
  }
  void kill() { server.reset(); }  // the child is killed and waited for
};

TEST_F(CaptureTest, ALostDisplayEndsTheCaptureWithAFailure) {
  PrivateServer server;
  ASSERT_TRUE(server.start()) << "the private Xvfb did not start";
  // A window that is never painted, half off the screen, on a server without a window manager:
  // the capture waits for a repaint that never comes. The window outlives its connection.
  Display* maker = XOpenDisplay(server.name.c_str());
  ASSERT_NE(maker, nullptr);
  XSetWindowAttributes attributes{};
  attributes.background_pixmap = None;
  Window window =
      XCreateWindow(maker, DefaultRootWindow(maker), 500, 100, 300, 200, 0, CopyFromParent,
                    InputOutput, CopyFromParent, CWBackPixmap, &attributes);
  XMapWindow(maker, window);
  XSetCloseDownMode(maker, RetainPermanent);
  XCloseDisplay(maker);

  ASSERT_TRUE(x11::displayOpen(server.name.c_str()));
  auto capture = platformStartWindowCapture(static_cast<std::uint32_t>(window), path);
  ASSERT_TRUE(capture);
  // The server goes once the capture waits on its own connection: Xlib ends the process when a
  // server dies while a connection to it is still being opened, before any handler of ours can
  // be set on it.
  ASSERT_TRUE(waitFor([&] { return redirected(window); })) << "the capture never began";
  server.kill();
  ASSERT_TRUE(waitFor([&] { return !platformCaptureRunning(*capture); }))
      << "the capture did not end when its display went";
  EXPECT_NE(platformCaptureExitStatus(*capture), std::nullopt);
  EXPECT_NE(platformCaptureExitStatus(*capture), 0);
  EXPECT_FALSE(platformTakeCapturedPixels(*capture));

  // Once the loss is known, no capture starts at all.
  ASSERT_TRUE(waitFor([] { return x11::displayLost(); })) << "the loss was never noticed";
  EXPECT_FALSE(platformStartWindowCapture(static_cast<std::uint32_t>(window), path));
  WinRec row;
  row.id = static_cast<std::uint32_t>(window);
  EXPECT_EQ(windowPNG(row, wallAfter(5)), std::nullopt);
}

}  // namespace
}  // namespace qcu::test
