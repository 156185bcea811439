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

[[noreturn]] void keyboardRejected() {
  throw SafeError("send_input_failed", "keyboard input rejected");
}

// Makes the key-down and the key-up, then posts them. Nothing is posted unless both were made,
// so a key never goes down without its up in hand. A key-down alone can act, so the key counts
// as dispatched once it went down; a refused key-up is tried once more, since a key left down
// would change everything the user types next.
void postKey(Prepared& prepared, const KeySpec& key) {
  const auto& source = eventSource();
  if (!source) keyboardRejected();
  const auto down = platformMakeKeyEvent(*source, key.code, true, key.flags);
  const auto up = platformMakeKeyEvent(*source, key.code, false, key.flags);
  if (!down || !up || !postInput(*down)) keyboardRejected();
  prepared.dispatchAccepted = true;
  if (!postInput(*up) && !postInput(*up)) keyboardRejected();
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

  postKey(prepared, *mapped);

  bool matched =
      watchEffect(prepared, watchClipboard, clipboardBefore, surfaceBefore, expectedInput, token);
  matched = matched && userInputEpoch() == expectedInput;
  if (matched && watchClipboard) prepared.clipboardSequence = pasteboardSequence();
  prepared.effectMatched = matched;
  return {true, matched};
}

}  // namespace qcu
