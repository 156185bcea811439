// The key executor: one key-down and key-up of an allowlisted key or chord, then a bounded
// watch for its effect.
#include "actions/executors.h"
#include "actions/keys.h"
#include "actions/pasteboard.h"
#include "desktop/signals.h"
#include "desktop/windows.h"
#include "foundation/clock.h"
#include "foundation/errors.h"
#include "observation/surface.h"

namespace qcu {
namespace {

void postKey(const KeySpec& key, bool down) {
  const auto& source = eventSource();
  if (!source || !platformPostKeyEvent(*source, key.code, down, key.flags)) {
    throw SafeError("send_input_failed", "keyboard input rejected");
  }
}

// Polls for the effect: the pasteboard's change count for copy and cut, the window's surface
// for every other key. User input ends the watch unmatched at once.
bool watchEffect(const Prepared& prepared, bool watchClipboard, std::uint32_t clipboardBefore,
                 const std::string& surfaceBefore, std::int64_t expectedInput,
                 const CancelToken& token) {
  for (int poll = 1;; ++poll) {
    if (userInputEpoch() != expectedInput) return false;
    token.check();
    sleepSeconds(KEY_WATCH_POLL_SECONDS);
    const bool changed = watchClipboard
                             ? pasteboardSequence() != clipboardBefore
                             : surfaceFingerprint(prepared.identity, token) != surfaceBefore;
    if (changed || poll == KEY_WATCH_POLLS) return changed;
  }
}

}  // namespace

Outcome executeKey(Prepared& prepared, const std::shared_ptr<const ElementEntry>& element,
                   std::int64_t expectedInput, const CancelToken& token) {
  const auto mapped = prepared.key ? keySpec(*prepared.key) : std::nullopt;
  if (!mapped) throw SafeError("key_blocked", "key is not allowlisted");
  if (frontWindowID(cgWindows()) != prepared.identity.win) {
    throw SafeError("focus_lost", "exact target is not foreground");
  }
  if (element) {
    requireElementCurrent(*element);
    platformSetAttribute(element->element, "AXFocused", AXValue{true});
  }
  requireActionCurrent(prepared, expectedInput, token);

  const bool watchClipboard = *prepared.key == "Ctrl+C" || *prepared.key == "Ctrl+X";
  const std::uint32_t clipboardBefore = pasteboardSequence();
  const std::string surfaceBefore = surfaceFingerprint(prepared.identity, token);

  // A key-down alone can act, so the key counts as dispatched once it went down, also when
  // the key-up then cannot be posted.
  postKey(*mapped, true);
  prepared.dispatchAccepted = true;
  postKey(*mapped, false);

  bool matched =
      watchEffect(prepared, watchClipboard, clipboardBefore, surfaceBefore, expectedInput, token);
  matched = matched && userInputEpoch() == expectedInput;
  if (matched && watchClipboard) prepared.clipboardSequence = pasteboardSequence();
  prepared.effectMatched = matched;
  return {true, matched};
}

}  // namespace qcu
