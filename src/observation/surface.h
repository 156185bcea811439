// The surface fingerprint: one hash of a window's visible accessibility state, taken before and
// after an input action to see whether the action changed anything. Never sent to the owner.
#pragma once

#include <string>

#include "foundation/sync.h"
#include "session/identity.h"

namespace qcu {

// Unsalted SHA-256 (64 lower-case hex digits) of the window's title, a bounded breadth-first
// sample of its elements (role, label, value, selection) and the application's focused element
// with its text selection. Uses only the identity's process id and window number. Fails with
// "target_destroyed" when the window is gone and with CancelledError when the token is cancelled
// during the walk; a walk cut short by its element or time bound is not a failure.
std::string surfaceFingerprint(const Ident& ident, const CancelToken& token);

}  // namespace qcu
