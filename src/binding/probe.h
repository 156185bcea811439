// The exact-target probe: the observable state of one exact window at one moment.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "desktop/platform.h"
#include "foundation/limits.h"
#include "session/identity.h"

namespace qcu {

struct ProbeData {
  Ident identity;
  std::string title;             // displayTitle of the normalised title
  std::string titleFingerprint;  // of the full normalised title
  Rect geometry;
  std::int64_t dpi = 96;
  bool foreground = false;
  bool locked = false;
  std::int64_t epoch = -1;  // user-input epoch
  bool occluded = true;     // always !hitOwn
  bool hitOwn = false;

  // The 13-key "probe" wire object.
  nlohmann::json object() const;
};

}  // namespace qcu

namespace qcu {

// Re-identifies the exact window and describes it, applying the safety policy. blockUnsafe adds
// the title-marker test and, with inspectSurface, the bounded accessibility walk of the window.
// Fails with a SafeError naming what is wrong.
ProbeData probeExact(const Ident& ident, bool blockUnsafe, bool inspectSurface = true,
                     double budget = SURFACE_BUDGET);

}  // namespace qcu
