// The counter of physical input: XInput 2 raw events on the event thread, counted once per
// physical event (the slave's copy, whose device is its own source; the master repeats it) and
// never for the helper's own XTEST slaves. The selection covers all devices, so a device added
// later is counted from its first event. Counts are atomics that any thread reads.
#include <X11/extensions/XInput2.h>

#include <atomic>
#include <cstdint>

#include "desktop/platform.h"
#include "desktop/x11/display.h"
#include "desktop/x11/input.h"

namespace qcu {
namespace x11 {
namespace {

// The event source state of device input, and the event types the common code sums, by their
// numbers. Drags and modifier changes have no separate count here: a drag is counted as motion,
// a modifier as a key.
constexpr std::uint32_t DEVICE_STATE = 1;
enum EventType : std::uint32_t {
  LEFT_DOWN = 1,
  LEFT_UP = 2,
  RIGHT_DOWN = 3,
  RIGHT_UP = 4,
  MOVED = 5,
  KEY_DOWN = 10,
  KEY_UP = 11,
  WHEEL = 22,
  OTHER_DOWN = 25,
};

struct Counts {
  std::atomic<std::uint32_t> leftDown{0};
  std::atomic<std::uint32_t> leftUp{0};
  std::atomic<std::uint32_t> rightDown{0};
  std::atomic<std::uint32_t> rightUp{0};
  std::atomic<std::uint32_t> moved{0};
  std::atomic<std::uint32_t> keyDown{0};
  std::atomic<std::uint32_t> keyUp{0};
  std::atomic<std::uint32_t> wheel{0};
  std::atomic<std::uint32_t> otherDown{0};
};
Counts counts;
std::atomic<bool> counting{false};
std::atomic<int> ownPointer{0};
std::atomic<int> ownKeyboard{0};
int inputOpcode = 0;  // written by the set-up and read by the handler, both on the event thread

void bump(std::atomic<std::uint32_t>& count) {
  count.fetch_add(1, std::memory_order_relaxed);
}

void countButton(bool press, int button) {
  // Buttons 4 to 7 are the wheels: one count per click, on its press.
  if (button >= 4 && button <= 7) {
    if (press) bump(counts.wheel);
    return;
  }
  // The release of another button is not counted: its press was.
  if (button == 1) bump(press ? counts.leftDown : counts.leftUp);
  if (button == 3) bump(press ? counts.rightDown : counts.rightUp);
  if (button != 1 && button != 3 && press) bump(counts.otherDown);
}

void handle(Display*, XEvent& event) {
  if (event.type != GenericEvent || event.xcookie.extension != inputOpcode || !event.xcookie.data) {
    return;
  }
  if (event.xcookie.evtype == XI_HierarchyChanged) {
    // A removed device's id may be given to a new one, whose input must count.
    const auto* changed = static_cast<XIHierarchyEvent*>(event.xcookie.data);
    for (int i = 0; i < changed->num_info; ++i) {
      if (!(changed->info[i].flags & (XISlaveRemoved | XIMasterRemoved))) continue;
      forgetOwnDevice(changed->info[i].deviceid);
    }
    return;
  }
  const auto* raw = static_cast<XIRawEvent*>(event.xcookie.data);
  if (raw->deviceid != raw->sourceid) return;
  if (raw->sourceid == ownPointer.load() || raw->sourceid == ownKeyboard.load()) return;
  switch (event.xcookie.evtype) {
    case XI_RawKeyPress:
      bump(counts.keyDown);
      break;
    case XI_RawKeyRelease:
      bump(counts.keyUp);
      break;
    case XI_RawButtonPress:
      countButton(true, raw->detail);
      break;
    case XI_RawButtonRelease:
      countButton(false, raw->detail);
      break;
    case XI_RawMotion:
      bump(counts.moved);
      break;
    default:
      break;
  }
}

bool setup(Display* display, Window root) {
  int event = 0, error = 0;
  if (!XQueryExtension(display, "XInputExtension", &inputOpcode, &event, &error)) return false;
  // 2.1 or later: raw events reach the root even while another client grabs the device.
  int major = 2, minor = 2;
  if (XIQueryVersion(display, &major, &minor) != Success || (major == 2 && minor < 1)) {
    return false;
  }
  unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
  for (int type : {XI_RawKeyPress, XI_RawKeyRelease, XI_RawButtonPress, XI_RawButtonRelease,
                   XI_RawMotion, XI_HierarchyChanged}) {
    XISetMask(bits, type);
  }
  XIEventMask mask{XIAllDevices, sizeof bits, bits};
  return XISelectEvents(display, root, &mask, 1) == Success;
}

}  // namespace

bool startInputCounter() {
  counting.store(false);
  const bool started = addEventSource({"input counter", setup, handle});
  counting.store(started);
  return started;
}

void setOwnDevices(int xtestPointer, int xtestKeyboard) {
  ownPointer.store(xtestPointer);
  ownKeyboard.store(xtestKeyboard);
}

void forgetOwnDevice(int removed) {
  for (auto* own : {&ownPointer, &ownKeyboard}) {
    int expected = removed;
    own->compare_exchange_strong(expected, 0);
  }
}

}  // namespace x11

using namespace x11;

bool platformEventCounterAvailable() {
  return counting.load(std::memory_order_relaxed) && displayUsable();
}

std::uint32_t platformEventCount(std::uint32_t sourceState, std::uint32_t eventType) {
  if (sourceState != DEVICE_STATE || !platformEventCounterAvailable()) return 0;
  auto read = [](const std::atomic<std::uint32_t>& count) {
    return count.load(std::memory_order_relaxed);
  };
  switch (eventType) {
    case LEFT_DOWN:
      return read(counts.leftDown);
    case LEFT_UP:
      return read(counts.leftUp);
    case RIGHT_DOWN:
      return read(counts.rightDown);
    case RIGHT_UP:
      return read(counts.rightUp);
    case MOVED:
      return read(counts.moved);
    case KEY_DOWN:
      return read(counts.keyDown);
    case KEY_UP:
      return read(counts.keyUp);
    case WHEEL:
      return read(counts.wheel);
    case OTHER_DOWN:
      return read(counts.otherDown);
    default:
      return 0;
  }
}

}  // namespace qcu
