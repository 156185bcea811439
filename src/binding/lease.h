// Candidate leases: what a single-use candidate token stands for.
#pragma once

#include <string>

#include "foundation/clock.h"
#include "session/identity.h"

namespace qcu {

struct Lease {
  Ident identity;
  std::string title;             // display title at listing time
  std::string titleFingerprint;  // of the full normalised title
  TimePoint expires;
};

}  // namespace qcu
