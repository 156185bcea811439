// Simulated synthetic input: every posted event is recorded in the desktop's log, in order. The
// events come from the helper's own source, so the hardware input counter never sees them.
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
  desktop.pointer = point;
  desktop.posted.push_back(std::move(event));
  return true;
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
  desktop.posted.push_back(std::move(event));
  return true;
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
  desktop.posted.push_back(std::move(event));
  return true;
}

}  // namespace qcu

namespace qcu::sim {

std::vector<PostedEvent> postedEvents() {
  std::lock_guard<std::mutex> guard(modelLock());
  return model().posted;
}

}  // namespace qcu::sim
