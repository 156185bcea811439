// The pointer executors: click (accessibility press or mouse events at a point) and scroll.
#include <chrono>

#include "actions/executors.h"
#include "foundation/clock.h"
#include "foundation/errors.h"
#include "observation/surface.h"

namespace qcu {
namespace {

// Verification windows run on the steady clock, so a change of the wall clock neither cuts
// them short nor stretches them.
using SteadyClock = std::chrono::steady_clock;

SteadyClock::time_point steadyAfter(double seconds) {
  return SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(Seconds(seconds));
}

// Watches the window's surface after a click: the first pass right after dispatch, then one
// every poll until the window's surface differs from before or the window runs out. Every pass
// re-runs the guard, so a user acting or the target changing ends the click with that error.
Outcome verifySurface(const Prepared& prepared, const std::string& before,
                      std::int64_t expectedInput, const CancelToken& token) {
  const auto deadline = steadyAfter(SURFACE_VERIFY_SECONDS);
  if (SteadyClock::now() >= deadline) return {true, false};
  while (true) {
    requireActionCurrent(prepared, expectedInput, token);
    if (surfaceFingerprint(prepared.identity, token) != before) return {true, true};
    sleepSeconds(VERIFY_POLL_SECONDS);
    if (SteadyClock::now() >= deadline) return {true, false};
  }
}

// The declared state change after a press; the guard is not re-run here, only the token.
Outcome verifyState(const Prepared& prepared, const ElementEntry& element,
                    const CancelToken& token) {
  const auto deadline = steadyAfter(STATE_VERIFY_SECONDS);
  while (true) {
    if (SteadyClock::now() >= deadline) return {true, false};
    token.check();
    const auto state = elementState(element.element, element.role);
    if (state && state->second == *prepared.stateAfter) return {true, true};
    sleepSeconds(VERIFY_POLL_SECONDS);
  }
}

bool statePressApplies(const Prepared& prepared, const ElementEntry& element) {
  return prepared.transitionKind && prepared.stateBefore && prepared.stateAfter &&
         element.stateKind && *element.stateKind == *prepared.transitionKind;
}

void press(const ElementEntry& element) {
  if (!platformPerformAction(element.element, "AXPress")) {
    throw SafeError("action_failed", "press rejected");
  }
}

Outcome pressElement(Prepared& prepared, const ElementEntry& element, std::int64_t expectedInput,
                     const CancelToken& token) {
  requireActionCurrent(prepared, expectedInput, token);
  requireElementCurrent(element);
  if (statePressApplies(prepared, element)) {
    const auto state = elementState(element.element, element.role);
    if (!state || state->second != *prepared.stateBefore) {
      throw SafeError("stale_element_state", "element state changed before dispatch");
    }
    press(element);
    prepared.dispatchAccepted = true;
    return verifyState(prepared, element, token);
  }
  const std::string before = surfaceFingerprint(prepared.identity, token);
  press(element);
  prepared.dispatchAccepted = true;
  return verifySurface(prepared, before, expectedInput, token);
}

// Makes move, button down and button up at the point, then posts them in that order with no
// pause between them. Nothing is posted unless all three were made, so the button never goes
// down without its up in hand; a refused move ends the click before the button is touched. The
// click counts as dispatched once the button went down; a refused button event is an error, so
// a click that never reached the screen is never reported as dispatched.
void postClick(Prepared& prepared, Point point) {
  const auto move = makeMouseEvent(MouseEventType::Moved, point);
  const auto down = makeMouseEvent(MouseEventType::LeftDown, point);
  const auto up = makeMouseEvent(MouseEventType::LeftUp, point);
  if (!move || !down || !up || !postInput(*move) || !postInput(*down)) {
    throw SafeError("send_input_failed", "mouse input rejected");
  }
  prepared.dispatchAccepted = true;
  // One retry: a button left down would turn the user's next mouse moves into drags.
  if (!postInput(*up) && !postInput(*up)) {
    throw SafeError("send_input_failed", "mouse input rejected");
  }
}

}  // namespace

Outcome executeClick(Prepared& prepared, const std::shared_ptr<const ElementEntry>& element,
                     std::int64_t expectedInput, const CancelToken& token) {
  if (element && prepared.method == "uia") {
    return pressElement(prepared, *element, expectedInput, token);
  }
  const Point point = actionPoint(prepared, element);
  requireActionCurrent(prepared, expectedInput, token);
  requireHitTest(prepared, point);
  const std::string before = surfaceFingerprint(prepared.identity, token);
  postClick(prepared, point);
  return verifySurface(prepared, before, expectedInput, token);
}

Outcome executeScroll(Prepared& prepared, const std::shared_ptr<const ElementEntry>& element,
                      std::int64_t expectedInput, const CancelToken& token) {
  const Point point = actionPoint(prepared, element);
  requireActionCurrent(prepared, expectedInput, token);
  requireHitTest(prepared, point);
  // Positive wheel values scroll up and left: the opposite sign of the owner's delta.
  const auto vertical = static_cast<std::int32_t>(-WHEEL_LINES_PER_STEP * prepared.deltaY);
  const auto horizontal = static_cast<std::int32_t>(-WHEEL_LINES_PER_STEP * prepared.deltaX);
  const auto& source = eventSource();
  const auto move = makeMouseEvent(MouseEventType::Moved, point);
  const auto wheel = source ? platformMakeScrollWheel(*source, vertical, horizontal) : std::nullopt;
  // The wheel scrolls wherever the pointer is: without the move it would reach a point that
  // passed no hit test.
  if (!move || !wheel || !postInput(*move) || !postInput(*wheel)) {
    throw SafeError("send_input_failed", "wheel input rejected");
  }
  prepared.dispatchAccepted = true;
  return {true, false};
}

}  // namespace qcu
