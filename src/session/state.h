// The one in-memory session store and the process-wide values beside it.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>
#include <string>
#include <unordered_set>

#include "actions/prepared.h"
#include "binding/lease.h"
#include "foundation/queue.h"
#include "foundation/sync.h"
#include "observation/element.h"
#include "session/identity.h"

namespace qcu {

struct State {
  // Guards every field below. Held only for short steps, never across a platform call. While
  // holding it a Locked value's lock or a CancelToken's lock may be taken, never the reverse.
  std::recursive_mutex lock;
  std::map<std::string, Lease> leases;  // by candidate token
  std::optional<Ident> selected;
  std::map<std::string, std::shared_ptr<const ElementEntry>> elements;  // by element reference
  std::map<std::string, std::shared_ptr<Prepared>> prepared;            // by prepared id
  std::map<std::string, CancelToken> activeObservations;                // by request id
  std::map<std::string, CancelToken> activeActions;                     // by attempt id
  std::unordered_set<std::string> seenRequests;
  std::deque<std::string> seenOrder;  // oldest first
  std::int64_t observationVersion = 0;
  std::uint32_t lastFrontWindow = 0;
};

// The session store. Made on first use and never destroyed (threads may use it until _exit).
State& state();

// Process-wide values beside the store, each made on first use and never destroyed.
Locked<std::int64_t>& stopEpoch();
Locked<std::int64_t>& foregroundEpoch();
std::counting_semaphore<1>& observeGate();
std::counting_semaphore<1>& inputGate();
SerialQueue& observeQueue();
SerialQueue& inputQueue();
Locked<std::int32_t>& ownerPidValue();
Locked<std::string>& ownerBundleValue();

// Drops prepared actions, element registrations and leases whose expiry is not after now.
void cleanupExpired();

// Empties the store and resets the epochs and owner values, for in-process tests only.
void resetSessionForTests();

}  // namespace qcu
