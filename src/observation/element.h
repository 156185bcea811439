// Observed accessibility elements and how they are described.
#pragma once

#include <optional>
#include <string>

#include "desktop/platform.h"
#include "foundation/clock.h"
#include "session/identity.h"

namespace qcu {

// An element registered by an observation; immutable after creation and shared between the
// session store and whoever resolved it.
struct ElementEntry {
  std::string backendRef;
  Ident identity;
  AXElement element;  // strong reference for the entry's life
  std::string role;
  std::string label;
  std::string fingerprint;
  std::optional<std::string> stateKind;
  TimePoint expires;
};

}  // namespace qcu
