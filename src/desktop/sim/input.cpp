// Simulated synthetic input: every posted event is recorded in the desktop's log, in order, and
// sets off the effects it triggers. The events come from the helper's own source, so the
// hardware input counter never sees them. Event types listed as failing cannot be made; event
// types listed as refused are made but their posting fails without a trace.
#include <memory>

#include "desktop/sim/model.h"

namespace qcu {

using namespace sim;

namespace {

// A made event: what the log will record, and for a mouse event its kind. A wheel event takes
// the pointer's position when it is posted.
struct SimEvent {
  PostedEvent event;
  std::optional<MouseEventType> mouse;
};

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

// The event, unless events of its type cannot be made on this desktop.
std::optional<InputEvent> make(const InputSource& source, PostedEvent event,
                               std::optional<MouseEventType> mouse = std::nullopt) {
  if (!source) return std::nullopt;
  std::lock_guard<std::mutex> guard(modelLock());
  Desktop& desktop = model();
  applyDue(desktop);
  if (desktop.inputFailures.contains(event.type)) return std::nullopt;
  return InputEvent{std::make_shared<SimEvent>(SimEvent{std::move(event), mouse})};
}

// Moves the pointer for a mouse event and tracks the left button. A left-up where the left-down
// before it was is a click on the element under the point, found before any effect changes the
// desktop; that element is returned. Caller holds the lock.
std::shared_ptr<Node> moveMouse(Desktop& desktop, MouseEventType type, Point point) {
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
  return clicked;
}

// Fires the effects of the event's type, of a key-down's code and flags, and of the element a
// click landed on. Caller holds the lock.
void fireFor(Desktop& desktop, const PostedEvent& event, const std::shared_ptr<Node>& clicked) {
  const bool keyDown = event.type == "key-down";
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
}

}  // namespace

std::optional<InputSource> platformCreateInputSource() {
  callHook("platformCreateInputSource");
  return InputSource{std::make_shared<int>(0)};
}

std::optional<InputEvent> platformMakeMouseEvent(const InputSource& source, MouseEventType type,
                                                 Point point, std::int64_t clickCount) {
  PostedEvent event;
  event.type = mouseTypeName(type);
  callHook("platformMakeMouseEvent", 0, event.type);
  event.point = point;
  event.clickCount = clickCount;
  return make(source, std::move(event), type);
}

std::optional<InputEvent> platformMakeScrollWheel(const InputSource& source,
                                                  std::int32_t verticalLines,
                                                  std::int32_t horizontalLines) {
  callHook("platformMakeScrollWheel", 0, "wheel");
  PostedEvent event;
  event.type = "wheel";
  event.verticalLines = verticalLines;
  event.horizontalLines = horizontalLines;
  return make(source, std::move(event));
}

std::optional<InputEvent> platformMakeKeyEvent(const InputSource& source, std::uint32_t keyCode,
                                               bool down, std::uint64_t flags) {
  PostedEvent event;
  event.type = down ? "key-down" : "key-up";
  callHook("platformMakeKeyEvent", 0, event.type);
  event.keyCode = keyCode;
  event.flags = flags;
  return make(source, std::move(event));
}

bool platformPostEvent(const InputSource& source, const InputEvent& made) {
  if (!made) return false;
  const auto& simEvent = *static_cast<const SimEvent*>(made.ref.get());
  callHook("platformPostEvent", 0, simEvent.event.type);
  if (!source) return false;
  PostedEvent event = simEvent.event;
  std::lock_guard<std::mutex> guard(modelLock());
  Desktop& desktop = model();
  applyDue(desktop);
  if (desktop.postFailures.contains(event.type)) return false;
  std::shared_ptr<Node> clicked;
  if (simEvent.mouse) {
    clicked = moveMouse(desktop, *simEvent.mouse, event.point);
  } else if (event.type == "wheel") {
    event.point = desktop.pointer;
  }
  desktop.posted.push_back(event);
  fireFor(desktop, event, clicked);
  return true;
}

}  // namespace qcu

namespace qcu::sim {

std::vector<PostedEvent> postedEvents() {
  std::lock_guard<std::mutex> guard(modelLock());
  return model().posted;
}

}  // namespace qcu::sim
