// Synthetic input through the helper's private master pair (see input.h).
//
// The input source owns a connection of its own: its client pointer is the private master
// pointer, so the core XTest requests made on it move and press the pair's XTEST slaves and never
// the core devices that the user and every other XTest client share. The connection sits behind
// the source's lock and serves whichever thread makes or posts an event, one at a time.
//
// Every key code and screen position is settled when an event is made; posting only replays the
// steps. Each post waits for the server (XSync) and fails on any X error since it began. A post
// that fails after it sent a press releases what it pressed, since the common code never posts
// the matching release of an event that failed.
//
// Keys go to the user's keyboard focus, copied to the private keyboard, and only while that focus
// lies inside the frame of the front-most ordinary window: the window the common code checked.
// The focus is checked and copied, and the server's word on both awaited, before the first key
// goes down.
//
// What a person sees of the second cursor: on a real Xorg desktop each master pointer has a
// cursor of its own. The helper's is parked in the bottom-right corner of the screen, where only
// its tip's pixel shows, and comes out only while a click or a scroll runs: the event that ends
// one (the button's release, the wheel) moves it back to the corner. A wheel event posted while
// the pointer is parked is refused: it would scroll whatever lies in the corner.
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "desktop/platform.h"
#include "desktop/windows.h"
#include "desktop/x11/display.h"
#include "desktop/x11/input.h"
#include "desktop/x11/window_list.h"

namespace qcu {
namespace x11 {
namespace {

// Wheel clicks in one event at most: more is no scroll step the helper makes.
constexpr std::int32_t MAX_WHEEL_LINES = 100;
// Deepest nesting looked through from the focus window up to the root.
constexpr int MAX_WINDOW_DEPTH = 64;

// The modifiers a key event may hold, each with the key that sets it, pressed in this order.
struct Modifier {
  unsigned mask;
  KeySym key;
};
constexpr Modifier MODIFIERS[] = {
    {ControlMask, XK_Control_L},
    {ShiftMask, XK_Shift_L},
    {Mod1Mask, XK_Alt_L},
};

// The pair's name is the same for every source of this process: a source going away removes the
// pair only while no newer source has replaced it.
std::mutex& pairLock() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::uint64_t newestPair = 0;  // the serial of the source that added the pair; guarded by pairLock

struct Source {
  std::mutex lock;    // guards everything below
  OwnConnection own;  // client pointer: pair.pointer
  DevicePair pair;
  std::string name;
  int coreKeyboard = 0;
  std::uint64_t serial = 0;  // tells this source's events from another's

  ~Source() {
    std::lock_guard<std::mutex> guard(lock);
    if (!own) return;
    {
      std::lock_guard<std::mutex> pairs(pairLock());
      if (newestPair == serial && pair.pointer) {
        if (!own.lost()) {
          ConnectionUse use(own);
          removePair(own.display, name);
        }
        // Also when the event thread stops before it hears of the removal.
        forgetOwnDevice(pair.xtestPointer);
        forgetOwnDevice(pair.xtestKeyboard);
      }
    }
    closeConnection(own);
  }
};

struct Step {
  enum class Kind { Motion, Button, Key, CopyFocus, Unparked };
  Kind kind = Kind::Motion;
  unsigned detail = 0;  // button or key code
  bool press = false;
  int x = 0;
  int y = 0;
};

struct Made {
  std::uint64_t source = 0;
  std::vector<Step> steps;
};

std::mutex& sourcesLock() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
// The live source, shared by every copy of the input source handed out. Guarded by sourcesLock.
std::weak_ptr<Source>& liveSource() {
  static auto* source = new std::weak_ptr<Source>;
  return *source;
}
std::atomic<std::uint64_t> nextSerial{1};

Source* sourceOf(const InputSource& handle) {
  return static_cast<Source*>(handle.ref.get());
}

// Takes what waits on the connection: only keymap changes come unasked, and they must reach
// Xlib's key table before it resolves a key.
void takeEvents(Display* display) {
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
  }
}

bool screenSize(Display* display, int& width, int& height) {
  Window root = None;
  int x = 0, y = 0;
  unsigned w = 0, h = 0, border = 0, depth = 0;
  if (!XGetGeometry(display, DefaultRootWindow(display), &root, &x, &y, &w, &h, &border, &depth)) {
    return false;
  }
  width = static_cast<int>(w);
  height = static_cast<int>(h);
  return width > 0 && height > 0;
}

Step motion(int x, int y) {
  return {Step::Kind::Motion, 0, false, x, y};
}

// Makes an event's steps on the source's connection; none when any step cannot be made.
template <typename Build>
std::optional<InputEvent> make(const InputSource& handle, Build build) {
  Source* source = sourceOf(handle);
  if (!source) return std::nullopt;
  std::lock_guard<std::mutex> guard(source->lock);
  if (!source->own || source->own.lost()) return std::nullopt;
  ConnectionUse use(source->own);
  takeEvents(source->own.display);
  auto made = std::make_shared<Made>();
  made->source = source->serial;
  const unsigned long mark = source->own.mark();
  if (!build(*source, made->steps) || !source->own.clean(mark)) return std::nullopt;
  return InputEvent{std::move(made)};
}

bool run(Source& source, const Step& step) {
  Display* display = source.own.display;
  switch (step.kind) {
    case Step::Kind::Motion:
      return XTestFakeMotionEvent(display, DefaultScreen(display), step.x, step.y, CurrentTime);
    case Step::Kind::Button:
      return XTestFakeButtonEvent(display, step.detail, step.press, CurrentTime);
    case Step::Kind::Key:
      return XTestFakeKeyEvent(display, step.detail, step.press, CurrentTime);
    case Step::Kind::Unparked: {
      // The pointer must have been brought somewhere since it was parked.
      Window root = None, child = None;
      double rootX = 0, rootY = 0, x = 0, y = 0;
      XIButtonState buttons{};
      XIModifierState modifiers{};
      XIGroupState group{};
      const bool known =
          XIQueryPointer(display, source.pair.pointer, DefaultRootWindow(display), &root, &child,
                         &rootX, &rootY, &x, &y, &buttons, &modifiers, &group);
      std::free(buttons.mask);
      return known && (rootX != step.x || rootY != step.y);
    }
    case Step::Kind::CopyFocus:
      return false;  // needs the front window: see copyFocus
  }
  return false;
}

// Whether the window is the ancestor or one of its descendants; false when either is gone.
bool inside(Display* display, Window window, Window ancestor) {
  for (int depth = 0; depth < MAX_WINDOW_DEPTH; ++depth) {
    if (window == ancestor) return true;
    Window root = None, parent = None;
    Window* list = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, window, &root, &parent, &list, &count)) return false;
    if (list) XFree(list);
    if (parent == None) return false;
    window = parent;
  }
  return false;
}

// Gives the private keyboard the user's keyboard focus (it has a focus of its own), but only a
// focus inside the frame of the front window (a client window id): None would drop the key,
// PointerRoot would send it to whatever lies under the parked pointer, and any other window is
// one nobody checked.
bool copyFocus(Source& source, Window front) {
  Display* display = source.own.display;
  const Window root = DefaultRootWindow(display);
  Window focus = None;
  if (front == None || XIGetFocus(display, source.coreKeyboard, &focus) != Success ||
      focus == None || focus == PointerRoot || focus == root) {
    return false;
  }
  const Window frame = frameOf(display, root, front);
  return frame != None && inside(display, focus, frame) &&
         XISetFocus(display, source.pair.keyboard, focus, CurrentTime) == Success;
}

// Releases the keys and buttons a failed post pressed, the last pressed first. A release of what
// is not down changes nothing.
void releaseAll(Source& source, const std::vector<Step>& pressed) {
  for (auto it = pressed.rbegin(); it != pressed.rend(); ++it) {
    Step release = *it;
    release.press = false;
    run(source, release);
  }
  XSync(source.own.display, False);
}

std::shared_ptr<Source> createSource() {
  // Opening the connection makes this thread record errors for it; this gives the thread back
  // what it recorded for before, since the connection outlives this call and serves any thread.
  ConnectionUse callers(OwnConnection{});
  auto source = std::make_shared<Source>();
  source->serial = nextSerial.fetch_add(1);
  source->name = pairName(getpid());
  source->own = openConnection();
  if (!source->own) return nullptr;
  Display* display = source->own.display;
  ConnectionUse use(source->own);
  int event = 0, error = 0, major = 0, minor = 0, opcode = 0;
  if (!XTestQueryExtension(display, &event, &error, &major, &minor) ||
      !XQueryExtension(display, "XInputExtension", &opcode, &event, &error)) {
    return nullptr;
  }
  major = 2;
  minor = 2;
  if (XIQueryVersion(display, &major, &minor) != Success) return nullptr;
  unsigned long mark = source->own.mark();
  std::optional<DevicePair> pair;
  {
    std::lock_guard<std::mutex> pairs(pairLock());
    newestPair = source->serial;
    pair = addPair(display, source->name);
    if (pair) source->pair = *pair;
    // Before the pair's first event, the park below included.
    if (pair) setOwnDevices(pair->xtestPointer, pair->xtestKeyboard);
  }
  if (!pair || !source->own.clean(mark)) return nullptr;
  mark = source->own.mark();
  source->coreKeyboard = coreKeyboard(display);
  int width = 0, height = 0;
  if (!source->coreKeyboard || !screenSize(display, width, height) ||
      XISetClientPointer(display, None, pair->pointer) != Success) {
    return nullptr;
  }
  Step park = motion(width - 1, height - 1);
  if (!run(*source, park) || !source->own.clean(mark)) return nullptr;
  return source;
}

}  // namespace
}  // namespace x11

using namespace x11;

std::optional<InputSource> platformCreateInputSource() {
  std::lock_guard<std::mutex> guard(sourcesLock());
  auto source = liveSource().lock();
  if (!source) {
    if (!displayUsable()) return std::nullopt;
    source = createSource();
    if (!source) return std::nullopt;
    liveSource() = source;
  }
  return InputSource{source};
}

std::optional<InputEvent> platformMakeMouseEvent(const InputSource& handle, MouseEventType type,
                                                 Point point, std::int64_t) {
  // X has no click count: applications count clicks by their timing and place.
  return make(handle, [&](Source& source, std::vector<Step>& steps) {
    int width = 0, height = 0;
    if (!std::isfinite(point.x) || !std::isfinite(point.y) ||
        !screenSize(source.own.display, width, height)) {
      return false;
    }
    // The pixel that holds the point. A point off the screen is refused: the server would pull
    // it to the nearest edge, and the event would land somewhere nobody checked.
    const double x = std::floor(point.x), y = std::floor(point.y);
    if (x < 0 || y < 0 || x >= width || y >= height) return false;
    steps.push_back(motion(static_cast<int>(x), static_cast<int>(y)));
    if (type == MouseEventType::LeftDown) steps.push_back({Step::Kind::Button, 1, true});
    if (type == MouseEventType::LeftUp) {
      steps.push_back({Step::Kind::Button, 1, false});
      steps.push_back(motion(width - 1, height - 1));
    }
    return true;
  });
}

std::optional<InputEvent> platformMakeScrollWheel(const InputSource& handle,
                                                  std::int32_t verticalLines,
                                                  std::int32_t horizontalLines) {
  return make(handle, [&](Source& source, std::vector<Step>& steps) {
    if (std::abs(static_cast<std::int64_t>(verticalLines)) > MAX_WHEEL_LINES ||
        std::abs(static_cast<std::int64_t>(horizontalLines)) > MAX_WHEEL_LINES) {
      return false;
    }
    int width = 0, height = 0;
    if (!screenSize(source.own.display, width, height)) return false;
    // A wheel where the pointer is parked would scroll whatever lies in the corner.
    steps.push_back({Step::Kind::Unparked, 0, false, width - 1, height - 1});
    // One click of button 4 (up), 5 (down), 6 (left) or 7 (right) per line.
    auto clicks = [&](std::int32_t lines, unsigned positive, unsigned negative) {
      for (std::int32_t i = 0; i < std::abs(lines); ++i) {
        const unsigned button = lines > 0 ? positive : negative;
        steps.push_back({Step::Kind::Button, button, true});
        steps.push_back({Step::Kind::Button, button, false});
      }
    };
    clicks(verticalLines, 4, 5);
    clicks(horizontalLines, 6, 7);
    steps.push_back(motion(width - 1, height - 1));
    return true;
  });
}

std::optional<InputEvent> platformMakeKeyEvent(const InputSource& handle, std::uint32_t keyCode,
                                               bool down, std::uint64_t flags) {
  return make(handle, [&](Source& source, std::vector<Step>& steps) {
    Display* display = source.own.display;
    std::uint64_t known = 0;
    std::vector<Step> modifiers;
    for (const auto& modifier : MODIFIERS) {
      known |= modifier.mask;
      if (!(flags & modifier.mask)) continue;
      const KeyCode code = XKeysymToKeycode(display, modifier.key);
      if (code == 0) return false;
      modifiers.push_back({Step::Kind::Key, code, down});
    }
    // A modifier the table does not know would be dropped silently: refuse it instead.
    if (flags & ~known) return false;
    const KeyCode code = XKeysymToKeycode(display, static_cast<KeySym>(keyCode));
    if (code == 0) return false;
    const Step key{Step::Kind::Key, code, down};
    // Modifiers go down before the key and come up after it.
    if (down) {
      steps.push_back({Step::Kind::CopyFocus});
      steps.insert(steps.end(), modifiers.begin(), modifiers.end());
      steps.push_back(key);
    } else {
      steps.push_back(key);
      steps.insert(steps.end(), modifiers.rbegin(), modifiers.rend());
    }
    return true;
  });
}

bool platformPostEvent(const InputSource& handle, const InputEvent& event) {
  Source* source = sourceOf(handle);
  const auto* made = static_cast<const Made*>(event.ref.get());
  if (!source || !made || made->source != source->serial) return false;
  // The front window for a key, by the rule the common code checked. The list is read before the
  // source's lock: it takes the request connection, never to be waited for under another lock.
  Window front = None;
  const bool key = std::any_of(made->steps.begin(), made->steps.end(),
                               [](const Step& step) { return step.kind == Step::Kind::CopyFocus; });
  if (key) {
    front = frontWindowID(cgWindows());
    if (front == None) return false;
  }
  std::lock_guard<std::mutex> guard(source->lock);
  if (!source->own || source->own.lost()) return false;
  ConnectionUse use(source->own);
  Display* display = source->own.display;
  takeEvents(display);
  // Without the pair (someone removed it) the server would take the core pointer instead.
  int pointer = 0;
  if (!XIGetClientPointer(display, None, &pointer) || pointer != source->pair.pointer) {
    return false;
  }
  const unsigned long mark = source->own.mark();
  // Each key or button pressed so far, once, in the order of its latest press.
  std::vector<Step> pressed;
  bool sent = true;
  for (const auto& step : made->steps) {
    if (step.kind == Step::Kind::CopyFocus) {
      // Confirmed before anything goes down: a focus window that vanished fails here.
      sent = copyFocus(*source, front) && source->own.clean(mark);
    } else {
      if (step.press) {
        std::erase_if(pressed, [&](const Step& earlier) {
          return earlier.kind == step.kind && earlier.detail == step.detail;
        });
        pressed.push_back(step);
      }
      sent = run(*source, step);
    }
    if (!sent) break;
  }
  if (sent && source->own.clean(mark)) return true;
  // X goes on after an error, so a press may have gone through all the same.
  if (!pressed.empty() && !source->own.lost()) releaseAll(*source, pressed);
  return false;
}

}  // namespace qcu
