// The executors: each turns one prepared action into input on the exact target and reports
// what it could prove. They run inside the commit worker, on the input queue, with the input
// gate held. Each raises CancelledError or a SafeError instead of returning; an error raised
// after the prepared action's dispatchAccepted became true means the input may have had an
// effect.
#pragma once

#include <cstdint>
#include <memory>

#include "actions/guards.h"
#include "actions/prepared.h"
#include "foundation/sync.h"
#include "observation/element.h"

namespace qcu {

// Verification windows and the poll between passes, in seconds.
inline constexpr double STATE_VERIFY_SECONDS = 0.8;
inline constexpr double SURFACE_VERIFY_SECONDS = 1.2;
inline constexpr double VERIFY_POLL_SECONDS = 0.025;
// Wheel lines per step of a scroll delta.
inline constexpr std::int32_t WHEEL_LINES_PER_STEP = 3;
// The key watch: at most KEY_WATCH_POLLS polls, each after a sleep of KEY_WATCH_POLL_SECONDS.
inline constexpr int KEY_WATCH_POLLS = 13;
inline constexpr double KEY_WATCH_POLL_SECONDS = 0.05;

// element is the entry resolved from the prepared action's element reference (null when the
// action named none); expectedInput is the user-input epoch the owner observed.

// A press of the element through the accessibility interface (method "uia"), verified by the
// element's declared state change or by a change of the window's surface; otherwise a left
// click at the action's point, verified by the surface.
Outcome executeClick(Prepared& prepared, const std::shared_ptr<const ElementEntry>& element,
                     std::int64_t expectedInput, const CancelToken& token);

// One wheel event at the action's point, -3 lines per step of each delta; never verified.
Outcome executeScroll(Prepared& prepared, const std::shared_ptr<const ElementEntry>& element,
                      std::int64_t expectedInput, const CancelToken& token);

// Appends the prepared chunks to the element's value, one guarded value set per chunk, and
// proves the final value against the owner's expected after-state.
Outcome executeType(Prepared& prepared, const std::shared_ptr<const ElementEntry>& element,
                    std::int64_t expectedInput, const CancelToken& token);

// One key-down and key-up of an allowlisted key or chord, then a bounded watch of the
// pasteboard (copy, cut) or the window's surface (every other key).
Outcome executeKey(Prepared& prepared, const std::shared_ptr<const ElementEntry>& element,
                   std::int64_t expectedInput, const CancelToken& token);

}  // namespace qcu
