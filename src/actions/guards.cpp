#include "actions/guards.h"

#include "binding/probe.h"
#include "desktop/accessibility.h"
#include "desktop/windows.h"
#include "foundation/errors.h"
#include "foundation/text.h"
#include "runtime/output.h"
#include "session/state.h"

namespace qcu {

namespace {

// The target probe's time budget inside the guard; it skips the surface walk.
constexpr double GUARD_PROBE_BUDGET = 1.5;  // seconds

// Announces the refusal to the owner, then raises it.
[[noreturn]] void refuse(const Prepared& prepared, const char* event, const char* detail,
                         const char* code, const char* message) {
  emitEvent(event, prepared.identity, detail);
  throw SafeError(code, message);
}

bool containsHalfOpen(const Rect& rect, Point point) {
  return point.x >= rect.x && point.x < rect.x + rect.width && point.y >= rect.y &&
         point.y < rect.y + rect.height;
}

}  // namespace

const std::optional<InputSource>& eventSource() {
  // A function-local static is made exactly once, however many threads arrive together.
  static const std::optional<InputSource> source = platformCreateInputSource();
  return source;
}

void requireActionCurrent(const Prepared& prepared, std::int64_t expectedInput,
                          const CancelToken& token) {
  if (token.isCancelled()) throw CancelledError();
  if (stopEpoch().get() != prepared.stopEpoch) throw CancelledError();

  drainForegroundEvents();
  if (foregroundEpoch().get() != prepared.foregroundEpoch) {
    refuse(prepared, "focus-lost", "foreground changed after prepare", "foreground_changed",
           "foreground changed after prepare");
  }

  ProbeData probe;
  try {
    probe = probeExact(prepared.identity, true, false, GUARD_PROBE_BUDGET);
  } catch (const SafeError& error) {
    if (error.code() == "target_destroyed" || error.code() == "target_changed") {
      emitEvent("target-destroyed", prepared.identity, "exact target identity changed");
    }
    throw;
  }

  const ProbeData& expected = prepared.expected;
  if (!sameGeometry(probe.geometry, expected.geometry) || probe.dpi != expected.dpi) {
    refuse(prepared, "target-destroyed", "target geometry changed", "target_changed",
           "window geometry changed");
  }
  if (!canonicalEquals(probe.title, expected.title) ||
      probe.titleFingerprint != expected.titleFingerprint) {
    throw SafeError("target_title_changed", "selected window title changed before dispatch");
  }
  if (probe.locked) {
    refuse(prepared, "screen-locked", "interactive desktop unavailable", "screen_locked",
           "interactive desktop unavailable");
  }
  if (!probe.foreground) {
    refuse(prepared, "focus-lost", "exact target is not foreground", "focus_lost",
           "exact target is not foreground");
  }
  if (probe.epoch != expectedInput) {
    refuse(prepared, "hardware-input", "input epoch changed", "hardware_input",
           "hardware input changed after observation");
  }
}

std::optional<InputEvent> makeMouseEvent(MouseEventType type, Point point) {
  const auto& source = eventSource();
  if (!source) return std::nullopt;
  return platformMakeMouseEvent(*source, type, point, 0);
}

bool postInput(const InputEvent& event) {
  const auto& source = eventSource();
  return source && platformPostEvent(*source, event);
}

void requireHitTest(const Prepared& prepared, Point point) {
  const std::vector<WinRec> snapshot = cgWindows();
  const std::uint32_t front = frontWindowID(snapshot);
  const std::uint32_t top = topWindowAt(snapshot, point);
  if (front != prepared.identity.win || top != front) {
    throw SafeError("hit_test_failed", "point is not owned by exact foreground target");
  }
}

Point actionPoint(const Prepared& prepared, const std::shared_ptr<const ElementEntry>& element) {
  if (element) {
    const auto position = axPoint(element->element, "AXPosition");
    const auto size = axSize(element->element, "AXSize");
    if (position && size) {
      const Point centre{position->x + size->width / 2, position->y + size->height / 2};
      if (containsHalfOpen(prepared.expected.geometry, centre)) return centre;
    }
  }
  if (prepared.point) return *prepared.point;
  throw SafeError("point_required", "safe point unavailable");
}

}  // namespace qcu
