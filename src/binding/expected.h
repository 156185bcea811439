// The window state the owner saw, carried through the owner and back: reading it from the
// owner's echo of a "probe" object, and comparing it with a fresh probe before input is sent.
#pragma once

#include <nlohmann/json.hpp>

#include "binding/probe.h"
#include "session/identity.h"

namespace qcu {

// Rebuilds the state the owner saw from its echoed "probe" object and the request's identity.
// Reads "geometry", "title", "titleFingerprint", "dpi", "userInputEpoch", "foreground" and
// "screenLocked"; every other key is ignored. Fails with the readers' "bad_request" field error,
// "bad_geometry", "bad_title" or "bad_request" / "expected state incomplete", in that order of
// reading.
ProbeData parseExpected(const nlohmann::json& object, const Ident& ident);

// Refuses when anything that matters moved between the state the owner saw and the probe made
// just now: identity, geometry or DPI; then title; then a locked screen; then foreground; then
// user input. Occlusion and the hit test are not compared.
void requireExpected(const ProbeData& expected, const ProbeData& current);

}  // namespace qcu
