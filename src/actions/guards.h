// The checks every input action passes right before it reaches the screen, and the small
// shared pieces of synthetic pointer input.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "actions/prepared.h"
#include "desktop/platform.h"
#include "foundation/sync.h"
#include "observation/element.h"

namespace qcu {

// The result of one executor run.
struct Outcome {
  bool dispatchAccepted = false;  // the input was handed to the platform
  bool effectMatched = false;     // the action's specific effect was observed
};

// The helper's one synthetic input source, made on first use (exactly once, also when two
// threads ask at the same moment) and kept for the life of the process. None when this desktop
// cannot post synthetic input; then nothing is ever posted.
const std::optional<InputSource>& eventSource();

// Re-establishes, in a fixed order, that the prepared action still applies: not cancelled, no
// Stop since preparation, the front window unchanged, the exact target alive, where and as
// titled as observed, the screen unlocked, the target in front and no user input since the
// observation whose input epoch is expectedInput. Raises CancelledError or a SafeError; most
// refusals are announced with an event first.
void requireActionCurrent(const Prepared& prepared, std::int64_t expectedInput,
                          const CancelToken& token);

// Makes one mouse event at the point from the helper's source, the click count left to the
// platform; none without a source or when the event cannot be made. Every event of one dispatch
// is made before any of it is posted.
std::optional<InputEvent> makeMouseEvent(MouseEventType type, Point point);

// Posts an event made from the helper's source; false without a source or when refused.
bool postInput(const InputEvent& event);

// Fails with "hit_test_failed" unless the target is the front window and nothing ordinary lies
// above it at the point.
void requireHitTest(const Prepared& prepared, Point point);

// The screen point for a pointer action: the element's centre when it lies inside the observed
// window, otherwise the point chosen at preparation. Fails with "point_required" when neither.
Point actionPoint(const Prepared& prepared, const std::shared_ptr<const ElementEntry>& element);

}  // namespace qcu
