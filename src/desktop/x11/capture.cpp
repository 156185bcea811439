// Window captures on X11. Captures run one after another on the capture thread, beside their
// callers the way a child process would, on a connection of that thread's own (display.h). A
// capture reads the window's frame (the client's ancestor just below the root, whose rectangle
// the window list reports) from the frame's composite pixmap, so that windows above it and the
// edges of the screen cut nothing out, and holds the picture as pixels for its caller to take:
// it never writes a file.
//
// Redirecting a frame that nothing redirected before gives it a fresh pixmap whose hidden parts
// still hold whatever covered them (another window's pixels) until the server paints the
// background there or the application repaints what it has just been shown. So the capture works
// out which part of the frame the screen did not show, and reads the pixmap only once damage
// reports have covered all of that part. An application that does not repaint in time gives no
// picture rather than someone else's pixels. Whatever the capture redirected it unredirects.
//
// Where the time goes on this kind of machine (a virtual machine where touching fresh memory is
// dear): reading 1280 x 800 pixels through the socket takes tens of milliseconds, and so does
// attaching a new shared memory segment for every capture. The capture thread therefore keeps its
// connection and one attached segment from one capture to the next, and reads in a few
// milliseconds.
#include "desktop/x11/capture.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
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
// Largest shared segment kept between captures: enough for a 2560 x 1600 frame.
constexpr std::size_t KEEP_SEGMENT_BYTES = std::size_t{2560} * 1600 * 4;
constexpr int CAPTURED = 0;
constexpr int FAILED = 1;

// One capture, shared by its handles and the capture thread.
struct CaptureState {
  Window client = None;
  std::mutex lock;                // guards finished, terminated, status and pixels
  std::condition_variable ended;  // signalled when finished or terminated
  bool finished = false;
  bool terminated = false;
  int status = FAILED;
  std::optional<CapturedPixels> pixels;
  std::atomic<bool> stop{false};  // asks the capture to give up; read without the lock
};

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
bool awaitRepaint(OwnConnection& own, Window frame, int damageEventBase, Damage damage, int border,
                  Region waiting, const std::atomic<bool>& stop) {
  Display* display = own.display;
  const auto until = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                              std::chrono::duration<double>(REPAINT_SECONDS));
  RegionPtr painted = emptyRegion();
  for (;;) {
    while (!own.lost() && XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == damageEventBase + XDamageNotify) {
        const auto& notify = reinterpret_cast<const XDamageNotifyEvent&>(event);
        if (notify.damage != damage) continue;  // left over from an earlier capture
        // Damage is reported inside the border; the pixmap starts at the border's corner.
        XRectangle area = notify.area;
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

// The pixels of an image read from a pixmap; none when they are not in the plain layout.
std::optional<CapturedPixels> pixelsOf(const XImage& image, int width, int height) {
  const int nativeOrder = std::endian::native == std::endian::little ? LSBFirst : MSBFirst;
  if (image.bits_per_pixel != 32 || image.byte_order != nativeOrder || image.width != width ||
      image.height != height) {
    return std::nullopt;
  }
  CapturedPixels picture{width, height, {}};
  picture.pixels.resize(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    std::memcpy(&picture.pixels[static_cast<std::size_t>(y) * width],
                image.data + static_cast<std::ptrdiff_t>(y) * image.bytes_per_line,
                static_cast<std::size_t>(width) * 4);
  }
  return picture;
}

// XDestroyImage is a macro, so it is called from a deleter of our own. An image over memory
// that belongs to someone else has its data pointer cleared first.
struct DestroyImage {
  void operator()(XImage* image) const { XDestroyImage(image); }
};
using ImagePtr = std::unique_ptr<XImage, DestroyImage>;

// A shared memory segment attached to the capture connection, which the server writes pictures
// into (the MIT-SHM extension). It is removed as soon as the server has attached it, so nothing
// outlives the process.
struct Segment {
  XShmSegmentInfo info{};
  std::size_t bytes = 0;  // 0: no segment
};

// What the capture thread keeps from one capture to the next. Used by that thread alone.
struct Session {
  OwnConnection own;
  std::string displayName;  // of the display the connection was opened to
  int damageEventBase = 0;
  bool sharedMemory = false;  // the server can attach this process's segments
  Segment segment;
};

void releaseSegment(Session& session) {
  Segment& segment = session.segment;
  if (segment.bytes == 0) return;
  if (!session.own.lost()) XShmDetach(session.own.display, &segment.info);
  shmdt(segment.info.shmaddr);
  segment = Segment{};
}

// A segment of at least the given size, attached to the connection; false when none can be had.
// A server that cannot attach segments of this process (on another machine) is asked no more.
bool ensureSegment(Session& session, std::size_t bytes) {
  if (session.segment.bytes >= bytes) return true;
  releaseSegment(session);
  XShmSegmentInfo info{};
  info.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (info.shmid < 0) return false;
  info.shmaddr = static_cast<char*>(shmat(info.shmid, nullptr, 0));
  info.readOnly = False;
  bool attached = false;
  if (info.shmaddr != reinterpret_cast<char*>(-1)) {
    unsigned long mark = session.own.mark();
    attached = XShmAttach(session.own.display, &info) && session.own.clean(mark);
    if (!attached) session.sharedMemory = false;
  }
  shmctl(info.shmid, IPC_RMID, nullptr);
  if (!attached) {
    if (info.shmaddr != reinterpret_cast<char*>(-1)) shmdt(info.shmaddr);
    return false;
  }
  session.segment = Segment{info, bytes};
  return true;
}

// The pixmap's pixels, through the shared segment where the server offers it, else through the
// socket; none when it cannot be read or is not in the plain layout.
std::optional<CapturedPixels> readPixmap(Session& session, Pixmap pixmap,
                                         const XWindowAttributes& attributes, int width,
                                         int height) {
  OwnConnection& own = session.own;
  if (session.sharedMemory) {
    ImagePtr image(XShmCreateImage(
        own.display, attributes.visual, static_cast<unsigned>(attributes.depth), ZPixmap, nullptr,
        &session.segment.info, static_cast<unsigned>(width), static_cast<unsigned>(height)));
    if (image && ensureSegment(session, static_cast<std::size_t>(image->bytes_per_line) * height)) {
      image->obdata = reinterpret_cast<char*>(&session.segment.info);
      image->data = session.segment.info.shmaddr;
      unsigned long mark = own.mark();
      bool read =
          XShmGetImage(own.display, pixmap, image.get(), 0, 0, AllPlanes) && own.clean(mark);
      std::optional<CapturedPixels> picture;
      if (read) picture = pixelsOf(*image, width, height);
      image->data = nullptr;
      return picture;
    }
    if (own.lost()) return std::nullopt;
  }
  unsigned long mark = own.mark();
  ImagePtr image(XGetImage(own.display, pixmap, 0, 0, static_cast<unsigned>(width),
                           static_cast<unsigned>(height), AllPlanes, ZPixmap));
  if (!image || !own.clean(mark)) return std::nullopt;
  return pixelsOf(*image, width, height);
}

// Closes the session's connection; the next capture opens a new one.
void dropSession(Session& session) {
  releaseSegment(session);
  closeConnection(session.own);
  session = Session{};
}

// Makes the session ready for a capture on the current display: keeps its connection while that
// stands and leads to the current display, else opens a new one. False when there is no usable
// display or it lacks the composite or damage extension.
bool readySession(Session& session) {
  std::string name;
  {
    RequestScope scope;
    if (!scope) return false;
    name = DisplayString(scope.display);
  }
  if (session.own && !session.own.lost() && session.displayName == name) {
    // Events of earlier captures that came after they ended are of no use.
    XSync(session.own.display, False);
    while (!session.own.lost() && XPending(session.own.display) > 0) {
      XEvent event;
      XNextEvent(session.own.display, &event);
    }
    return !session.own.lost();
  }
  dropSession(session);
  session.own = openConnection();
  if (!session.own) return false;
  session.displayName = name;
  if (!extensionsPresent(session.own.display, &session.damageEventBase)) {
    dropSession(session);
    return false;
  }
  session.sharedMemory = XShmQueryExtension(session.own.display);
  return true;
}

struct Outcome {
  int status = FAILED;
  std::optional<CapturedPixels> pixels;
};

// Captures the frame of the client on the session's connection.
Outcome captureFrame(Session& session, Window client, const std::atomic<bool>& stop) {
  OwnConnection& own = session.own;
  Display* display = own.display;
  const Window root = DefaultRootWindow(display);
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
      awaitRepaint(own, frame, session.damageEventBase, damage, attributes.border_width,
                   waiting.get(), stop) &&
      !stop.load()) {
    outcome.pixels = readPixmap(session, pixmap, attributes, width, height);
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

// The capture thread and its queue. Started with the first capture; never ends.
struct Worker {
  std::mutex lock;  // guards everything below
  std::condition_variable wake;
  std::deque<std::shared_ptr<CaptureState>> queue;
  int unfinished = 0;            // captures queued or running
  bool closeRequested = false;   // drop the session once the queue is empty
  std::condition_variable idle;  // signalled when unfinished reaches 0 or a close is done
  std::uint64_t closes = 0;      // sessions closed on request so far
  bool started = false;
};
Worker& worker() {
  static auto* made = new Worker;
  return *made;
}

void finish(CaptureState& state, Outcome outcome) {
  std::lock_guard<std::mutex> guard(state.lock);
  if (!state.terminated) {
    state.status = outcome.status;
    state.pixels = std::move(outcome.pixels);
  }
  state.finished = true;
  state.ended.notify_all();
}

void runWorker() {
  Worker& w = worker();
  Session session;
  for (;;) {
    std::shared_ptr<CaptureState> state;
    {
      std::unique_lock<std::mutex> guard(w.lock);
      w.wake.wait(guard, [&] { return !w.queue.empty() || w.closeRequested; });
      if (w.queue.empty()) {
        guard.unlock();
        dropSession(session);
        guard.lock();
        w.closeRequested = false;
        ++w.closes;
        w.idle.notify_all();
        continue;
      }
      state = std::move(w.queue.front());
      w.queue.pop_front();
    }
    Outcome outcome;
    try {
      if (!state->stop.load() && readySession(session)) {
        outcome = captureFrame(session, state->client, state->stop);
      }
      // A lost connection is closed while its display is still the current one. A segment for
      // an unusually large picture is not kept.
      if (session.own.lost()) {
        dropSession(session);
      } else if (session.segment.bytes > KEEP_SEGMENT_BYTES) {
        releaseSegment(session);
      }
    } catch (...) {
      // Memory exhaustion: no picture, and a fresh connection next time (closing this one
      // undoes any redirection).
      outcome = Outcome{};
      dropSession(session);
    }
    finish(*state, std::move(outcome));
    state.reset();
    std::lock_guard<std::mutex> guard(w.lock);
    if (--w.unfinished == 0) w.idle.notify_all();
  }
}

}  // namespace

int capturesUnfinished() {
  Worker& w = worker();
  std::lock_guard<std::mutex> guard(w.lock);
  return w.unfinished;
}

bool closeCaptureConnection(double timeoutSeconds) {
  Worker& w = worker();
  std::unique_lock<std::mutex> guard(w.lock);
  if (!w.started) return true;
  const std::uint64_t before = w.closes;
  w.closeRequested = true;
  w.wake.notify_all();
  return w.idle.wait_for(guard, std::chrono::duration<double>(timeoutSeconds),
                         [&] { return w.closes > before; });
}

}  // namespace qcu::x11

namespace qcu {

// The X11 capture holds pixels and never touches the path.
std::optional<WindowCapture> platformStartWindowCapture(std::uint32_t window, const std::string&) {
  using namespace x11;
  if (!displayUsable()) return std::nullopt;
  try {
    auto state = std::make_shared<CaptureState>();
    state->client = static_cast<Window>(window);
    Worker& w = worker();
    std::lock_guard<std::mutex> guard(w.lock);
    if (!w.started) {
      std::thread(runWorker).detach();
      w.started = true;
    }
    w.queue.push_back(state);
    ++w.unfinished;
    w.wake.notify_all();
    return WindowCapture{state};
  } catch (...) {
    // No memory or no thread: no capture.
    return std::nullopt;
  }
}

bool platformCaptureRunning(const WindowCapture& capture) {
  x11::CaptureState* state = x11::stateOf(capture);
  if (!state) return false;
  std::lock_guard<std::mutex> guard(state->lock);
  return !state->finished && !state->terminated;
}

void platformWaitForCapture(const WindowCapture& capture, double seconds) {
  x11::CaptureState* state = x11::stateOf(capture);
  if (!state) return;
  std::unique_lock<std::mutex> guard(state->lock);
  state->ended.wait_for(guard, std::chrono::duration<double>(seconds),
                        [state] { return state->finished || state->terminated; });
}

void platformTerminateCapture(const WindowCapture& capture) {
  x11::CaptureState* state = x11::stateOf(capture);
  if (!state) return;
  std::lock_guard<std::mutex> guard(state->lock);
  if (state->finished) return;
  state->terminated = true;
  state->stop.store(true);
  state->ended.notify_all();
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
