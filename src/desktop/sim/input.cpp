// Simulated synthetic input: every posted event is recorded in the desktop's log, in order, and
// sets off the effects it triggers. The events come from the helper's own source, so the
// hardware input counter never sees them. Event types listed as failing cannot be made: posting
// one fails without a trace.
#include <memory>

#include "desktop/sim/model.h"

namespace qcu {

using namespace sim;

namespace {

const char* mouseTypeName(MouseEventType type) {
  switch (type) {
    case MouseEventType::Moved:
      return "mouse-moved";
    case MouseEventType::LeftDown:
      return "left-down";
    case MouseEventType::LeftUp:
      return "left-up";
  }
  return "mouse-moved";
}

// Logs an event and fires the effects of its type, of a key-down's code and flags, and of the
// element a click landed on. False when events of this type cannot be made. Caller holds the
// lock.
bool post(Desktop& desktop, PostedEvent event, const std::shared_ptr<Node>& clicked = nullptr) {
  if (desktop.inputFailures.contains(event.type)) return false;
  desktop.posted.push_back(event);
  bool keyDown = event.type == "key-down";
  fireEffects(desktop, [&](const Trigger& trigger) {
    switch (trigger.kind) {
      case Trigger::Kind::Event:
        return trigger.event == event.type;
      case Trigger::Kind::Key:
        return keyDown && trigger.keyCode == event.keyCode && trigger.flags == event.flags;
      case Trigger::Kind::Press:
        return clicked && trigger.pid == clicked->pid && !clicked->id.empty() &&
               trigger.node == clicked->id;
      case Trigger::Kind::SetValue:
        return false;
    }
    return false;
  });
  return true;
}

}  // namespace

std::optional<InputSource> platformCreateInputSource() {
  callHook("platformCreateInputSource");
  return InputSource{std::make_shared<int>(0)};
}

bool platformPostMouseEvent(const InputSource& source, MouseEventType type, Point point,
                            std::int64_t clickCount) {
  callHook("platformPostMouseEvent");
  if (!source) return false;
  PostedEvent event;
  event.type = mouseTypeName(type);
  event.point = point;
  event.clickCount = clickCount;
  std::lock_guard<std::mutex> guard(modelLock());
  Desktop& desktop = model();
  applyDue(desktop);
  if (desktop.inputFailures.contains(event.type)) return false;
  // A left-up where the left-down before it was is a click on the element under the point,
  // found before any effect changes the desktop.
  std::shared_ptr<Node> clicked;
  if (type == MouseEventType::LeftUp && desktop.leftDown && desktop.leftDown->x == point.x &&
      desktop.leftDown->y == point.y) {
    clicked = elementAt(desktop, point);
  }
  desktop.pointer = point;
  if (type == MouseEventType::LeftDown) {
    desktop.leftDown = point;
  } else if (type == MouseEventType::LeftUp) {
    desktop.leftDown.reset();
  }
  return post(desktop, std::move(event), clicked);
}

bool platformPostScrollWheel(const InputSource& source, std::int32_t verticalLines,
                             std::int32_t horizontalLines) {
  callHook("platformPostScrollWheel");
  if (!source) return false;
  std::lock_guard<std::mutex> guard(modelLock());
  Desktop& desktop = model();
  applyDue(desktop);
  PostedEvent event;
  event.type = "wheel";
  event.point = desktop.pointer;
  event.verticalLines = verticalLines;
  event.horizontalLines = horizontalLines;
  return post(desktop, std::move(event));
}

bool platformPostKeyEvent(const InputSource& source, std::uint16_t keyCode, bool down,
                          std::uint64_t flags) {
  callHook("platformPostKeyEvent");
  if (!source) return false;
  PostedEvent event;
  event.type = down ? "key-down" : "key-up";
  event.keyCode = keyCode;
  event.flags = flags;
  std::lock_guard<std::mutex> guard(modelLock());
  Desktop& desktop = model();
  applyDue(desktop);
  return post(desktop, std::move(event));
}

}  // namespace qcu

namespace qcu::sim {

std::vector<PostedEvent> postedEvents() {
  std::lock_guard<std::mutex> guard(modelLock());
  return model().posted;
}

}  // namespace qcu::sim
