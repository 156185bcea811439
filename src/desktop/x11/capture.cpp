// Window captures on X11. Each capture runs on a thread of its own with a connection of its own
// (display.h), beside its caller the way a child process would. It reads the window's frame (the
// client's ancestor just below the root, whose rectangle the window list reports) from the
// frame's composite pixmap, so that windows above it and the edges of the screen cut nothing
// out, and holds the picture as pixels for the caller to take: it never writes a file.
//
// Redirecting a frame that nothing redirected before gives it a fresh pixmap whose hidden parts
// still hold whatever covered them (another window's pixels) until the server paints the
// background there or the application repaints what it has just been shown. So the capture works
// out which part of the frame the screen did not show, and reads the pixmap only once damage
// reports have covered all of that part. An application that does not repaint in time gives no
// picture rather than someone else's pixels. Whatever the capture redirected it unredirects.
#include "desktop/x11/capture.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

#include "desktop/platform.h"
#include "desktop/x11/display.h"
#include "desktop/x11/window_list.h"
#include "foundation/limits.h"

namespace qcu::x11 {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Longest wait for the hidden part of a frame to be repainted after it was redirected.
constexpr double REPAINT_SECONDS = 1.0;
// How often a waiting capture looks at its stop flag, in milliseconds.
constexpr int STOP_POLL_MS = 10;
constexpr int CAPTURED = 0;
constexpr int FAILED = 1;

// One capture, shared by its handles and its thread.
struct CaptureState {
  std::mutex lock;  // guards finished, terminated, status and pixels
  bool finished = false;
  bool terminated = false;
  int status = FAILED;
  std::optional<CapturedPixels> pixels;
  std::atomic<bool> stop{false};  // asks the thread to give up; read without the lock
};

std::atomic<int> runningThreads{0};

CaptureState* stateOf(const WindowCapture& capture) {
  return static_cast<CaptureState*>(capture.ref.get());
}

using RegionPtr = std::unique_ptr<std::remove_pointer_t<Region>, decltype(&XDestroyRegion)>;

RegionPtr emptyRegion() {
  return RegionPtr(XCreateRegion(), &XDestroyRegion);
}

// Adds the part of the rectangle that lies inside width x height to the region. Clipping comes
// first, in int, because the protocol's rectangles hold only 16 bits.
void addClipped(Region region, long x, long y, long w, long h, int width, int height) {
  const long left = std::max(x, 0L), top = std::max(y, 0L);
  const long right = std::min(x + w, static_cast<long>(width));
  const long bottom = std::min(y + h, static_cast<long>(height));
  if (right <= left || bottom <= top) return;
  XRectangle rectangle{static_cast<short>(left), static_cast<short>(top),
                       static_cast<unsigned short>(right - left),
                       static_cast<unsigned short>(bottom - top)};
  XUnionRectWithRegion(&rectangle, region, region);
}

// The outer size of a window: its border belongs to it, in the window list and in its pixmap.
int outerSide(int side, int border) {
  return side + 2 * border;
}

// The part of the frame, in the coordinates of its pixmap (border included), that the screen
// does not show: under a viewable window stacked above it, or beyond the edges of the root.
RegionPtr hiddenPart(Display* display, Window root, Window frame, const XWindowAttributes& at) {
  const int width = outerSide(at.width, at.border_width);
  const int height = outerSide(at.height, at.border_width);
  RegionPtr shown = emptyRegion();
  XWindowAttributes rootAttributes;
  if (XGetWindowAttributes(display, root, &rootAttributes)) {
    addClipped(shown.get(), -at.x, -at.y, rootAttributes.width, rootAttributes.height, width,
               height);
  }
  Window treeRoot = None, parent = None;
  Window* stack = nullptr;
  unsigned int count = 0;
  RegionPtr covered = emptyRegion();
  if (XQueryTree(display, root, &treeRoot, &parent, &stack, &count)) {
    // Bottom to top: everything after the frame is above it.
    bool above = false;
    for (unsigned int i = 0; i < count; ++i) {
      if (stack[i] == frame) {
        above = true;
        continue;
      }
      XWindowAttributes sibling;
      if (!above || !XGetWindowAttributes(display, stack[i], &sibling)) continue;
      if (sibling.map_state != IsViewable || sibling.c_class != InputOutput) continue;
      addClipped(covered.get(), sibling.x - at.x, sibling.y - at.y,
                 outerSide(sibling.width, sibling.border_width),
                 outerSide(sibling.height, sibling.border_width), width, height);
    }
    if (stack) XFree(stack);
  }
  XSubtractRegion(shown.get(), covered.get(), shown.get());
  RegionPtr hidden = emptyRegion();
  addClipped(hidden.get(), 0, 0, width, height, width, height);
  XSubtractRegion(hidden.get(), shown.get(), hidden.get());
  return hidden;
}

// Whether the server speaks the composite (0.2 or later, for naming pixmaps) and damage
// extensions on this connection; the damage event base is set when it does.
bool extensionsPresent(Display* display, int* damageEventBase) {
  int event = 0, error = 0, major = 0, minor = 0;
  if (!XCompositeQueryExtension(display, &event, &error)) return false;
  if (!XCompositeQueryVersion(display, &major, &minor) || (major == 0 && minor < 2)) return false;
  if (!XDamageQueryExtension(display, damageEventBase, &error)) return false;
  return XDamageQueryVersion(display, &major, &minor) != 0;
}

// Pixels in the layout of CapturedPixels: 32 bits, 8 bits per colour, red highest.
bool plainLayout(const Visual* visual) {
  return visual && visual->red_mask == 0xFF0000 && visual->green_mask == 0xFF00 &&
         visual->blue_mask == 0xFF;
}

// Whether the frame already has a pixmap of its own (a compositing manager redirected it): then
// its whole content is up to date and there is nothing to redirect or wait for.
bool alreadyRedirected(OwnConnection& own, Window frame) {
  unsigned long mark = own.mark();
  Pixmap probe = XCompositeNameWindowPixmap(own.display, frame);
  bool named = own.clean(mark);
  if (named) XFreePixmap(own.display, probe);
  return named;
}

// Waits until damage reports have covered the waiting region (pixmap coordinates). False when
// the frame goes away or is unmapped first, the capture is stopped, the connection is lost or
// REPAINT_SECONDS pass.
bool awaitRepaint(OwnConnection& own, Window frame, int damageEventBase, int border, Region waiting,
                  const std::atomic<bool>& stop) {
  Display* display = own.display;
  const auto until = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                              std::chrono::duration<double>(REPAINT_SECONDS));
  RegionPtr painted = emptyRegion();
  for (;;) {
    while (!own.lost() && XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == damageEventBase + XDamageNotify) {
        const auto& damage = reinterpret_cast<const XDamageNotifyEvent&>(event);
        // Damage is reported inside the border; the pixmap starts at the border's corner.
        XRectangle area = damage.area;
        area.x = static_cast<short>(area.x + border);
        area.y = static_cast<short>(area.y + border);
        XUnionRectWithRegion(&area, painted.get(), painted.get());
      } else if ((event.type == DestroyNotify && event.xdestroywindow.window == frame) ||
                 (event.type == UnmapNotify && event.xunmap.window == frame)) {
        return false;
      }
    }
    XSubtractRegion(waiting, painted.get(), waiting);
    if (XEmptyRegion(waiting)) return true;
    if (own.lost() || stop.load() || SteadyClock::now() >= until) return false;
    pollfd connection{ConnectionNumber(display), POLLIN, 0};
    poll(&connection, 1, STOP_POLL_MS);
  }
}

// The pixmap's pixels; none when it cannot be read or is not in the plain layout.
std::optional<CapturedPixels> readPixmap(OwnConnection& own, Pixmap pixmap, int width, int height) {
  unsigned long mark = own.mark();
  XImage* image = XGetImage(own.display, pixmap, 0, 0, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (!image) return std::nullopt;
  // XDestroyImage is a macro, so it is called from a deleter of our own.
  struct DestroyImage {
    void operator()(XImage* image) const { XDestroyImage(image); }
  };
  std::unique_ptr<XImage, DestroyImage> owned(image);
  const int nativeOrder = std::endian::native == std::endian::little ? LSBFirst : MSBFirst;
  if (!own.clean(mark) || image->bits_per_pixel != 32 || image->byte_order != nativeOrder ||
      image->width != width || image->height != height) {
    return std::nullopt;
  }
  CapturedPixels picture{width, height, {}};
  picture.pixels.resize(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    std::memcpy(&picture.pixels[static_cast<std::size_t>(y) * width],
                image->data + static_cast<std::ptrdiff_t>(y) * image->bytes_per_line,
                static_cast<std::size_t>(width) * 4);
  }
  return picture;
}

struct Outcome {
  int status = FAILED;
  std::optional<CapturedPixels> pixels;
};

// Captures the frame of the client on the capture's own connection.
Outcome captureFrame(OwnConnection& own, Window client, const std::atomic<bool>& stop) {
  Display* display = own.display;
  const Window root = DefaultRootWindow(display);
  int damageEventBase = 0;
  if (!extensionsPresent(display, &damageEventBase)) return {};
  unsigned long mark = own.mark();
  const Window frame = client == None ? None : frameOf(display, root, client);
  XWindowAttributes attributes;
  if (frame == None || frame == root || !XGetWindowAttributes(display, frame, &attributes) ||
      !own.clean(mark)) {
    return {};
  }
  const int width = outerSide(attributes.width, attributes.border_width);
  const int height = outerSide(attributes.height, attributes.border_width);
  // An unmapped or minimised window has no picture; one larger than any accepted picture is
  // not read at all.
  if (attributes.map_state != IsViewable || attributes.c_class != InputOutput ||
      width > MAX_CAPTURED_SIDE || height > MAX_CAPTURED_SIDE || !plainLayout(attributes.visual)) {
    return {};
  }
  // The frame's end or unmapping ends the wait for its repaint.
  XSelectInput(display, frame, StructureNotifyMask);
  const bool redirecting = !alreadyRedirected(own, frame);
  RegionPtr waiting = redirecting ? hiddenPart(display, root, frame, attributes) : emptyRegion();
  Damage damage = None;
  mark = own.mark();
  // Damage is watched from before the redirect, so that no repaint is missed.
  if (!XEmptyRegion(waiting.get())) {
    damage = XDamageCreate(display, frame, XDamageReportRawRectangles);
  }
  if (redirecting) XCompositeRedirectWindow(display, frame, CompositeRedirectAutomatic);
  Pixmap pixmap = XCompositeNameWindowPixmap(display, frame);
  Outcome outcome;
  if (own.clean(mark) &&
      awaitRepaint(own, frame, damageEventBase, attributes.border_width, waiting.get(), stop) &&
      !stop.load()) {
    outcome.pixels = readPixmap(own, pixmap, width, height);
    if (outcome.pixels) outcome.status = CAPTURED;
  }
  // Undo everything; the frame may be gone by now, and the errors that causes do not matter.
  if (!own.lost()) {
    XFreePixmap(display, pixmap);
    if (damage != None) XDamageDestroy(display, damage);
    if (redirecting) XCompositeUnredirectWindow(display, frame, CompositeRedirectAutomatic);
    XSelectInput(display, frame, NoEventMask);
    XSync(display, False);
  }
  if (own.lost()) return {};
  return outcome;
}

void runCapture(std::shared_ptr<CaptureState> state, Window client) {
  Outcome outcome;
  OwnConnection own;
  try {
    own = openConnection();
    if (own) outcome = captureFrame(own, client, state->stop);
  } catch (...) {
    // Memory exhaustion: no picture. Closing the connection undoes the redirection.
    outcome = Outcome{};
  }
  closeConnection(own);
  {
    std::lock_guard<std::mutex> guard(state->lock);
    if (!state->terminated) {
      state->status = outcome.status;
      state->pixels = std::move(outcome.pixels);
    }
    state->finished = true;
  }
  state.reset();
  runningThreads.fetch_sub(1);
}

}  // namespace

int captureThreadsRunning() {
  return runningThreads.load();
}

}  // namespace qcu::x11

namespace qcu {

// The X11 capture holds pixels and never touches the path.
std::optional<WindowCapture> platformStartWindowCapture(std::uint32_t window, const std::string&) {
  using namespace x11;
  if (!displayUsable()) return std::nullopt;
  try {
    auto state = std::make_shared<CaptureState>();
    runningThreads.fetch_add(1);
    try {
      std::thread(runCapture, state, static_cast<Window>(window)).detach();
    } catch (...) {
      runningThreads.fetch_sub(1);
      return std::nullopt;
    }
    return WindowCapture{state};
  } catch (...) {
    return std::nullopt;
  }
}

bool platformCaptureRunning(const WindowCapture& capture) {
  x11::CaptureState* state = x11::stateOf(capture);
  if (!state) return false;
  std::lock_guard<std::mutex> guard(state->lock);
  return !state->finished && !state->terminated;
}

void platformTerminateCapture(const WindowCapture& capture) {
  x11::CaptureState* state = x11::stateOf(capture);
  if (!state) return;
  std::lock_guard<std::mutex> guard(state->lock);
  if (state->finished) return;
  state->terminated = true;
  state->stop.store(true);
}

std::optional<int> platformCaptureExitStatus(const WindowCapture& capture) {
  x11::CaptureState* state = x11::stateOf(capture);
  if (!state) return std::nullopt;
  std::lock_guard<std::mutex> guard(state->lock);
  if (!state->finished || state->terminated) return std::nullopt;
  return state->status;
}

std::optional<CapturedPixels> platformTakeCapturedPixels(const WindowCapture& capture) {
  x11::CaptureState* state = x11::stateOf(capture);
  if (!state) return std::nullopt;
  std::lock_guard<std::mutex> guard(state->lock);
  if (!state->finished || state->terminated) return std::nullopt;
  return std::exchange(state->pixels, std::nullopt);
}

}  // namespace qcu
