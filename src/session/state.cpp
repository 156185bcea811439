#include "session/state.h"

namespace qcu {

State& state() {
  static auto* store = new State();
  return *store;
}

Locked<std::int64_t>& stopEpoch() {
  static auto* value = new Locked<std::int64_t>(0);
  return *value;
}

Locked<std::int64_t>& foregroundEpoch() {
  static auto* value = new Locked<std::int64_t>(0);
  return *value;
}

std::counting_semaphore<1>& observeGate() {
  static auto* gate = new std::counting_semaphore<1>(1);
  return *gate;
}

std::counting_semaphore<1>& inputGate() {
  static auto* gate = new std::counting_semaphore<1>(1);
  return *gate;
}

SerialQueue& observeQueue() {
  static auto* queue = new SerialQueue("quorvel.cu.observe");
  return *queue;
}

SerialQueue& inputQueue() {
  static auto* queue = new SerialQueue("quorvel.cu.input");
  return *queue;
}

Locked<std::int32_t>& ownerPidValue() {
  static auto* value = new Locked<std::int32_t>(0);
  return *value;
}

Locked<std::string>& ownerBundleValue() {
  static auto* value = new Locked<std::string>();
  return *value;
}

namespace {
template <typename Map>
void dropExpired(Map& map, TimePoint now) {
  std::erase_if(map, [now](const auto& item) {
    const auto& entry = item.second;
    if constexpr (requires { entry->expires; }) {
      return !(entry->expires > now);
    } else {
      return !(entry.expires > now);
    }
  });
}
}  // namespace

void cleanupExpired() {
  TimePoint now = wallNow();
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  dropExpired(s.prepared, now);
  dropExpired(s.elements, now);
  dropExpired(s.leases, now);
}

void resetSessionForTests() {
  State& s = state();
  {
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.leases.clear();
    s.selected.reset();
    s.elements.clear();
    s.prepared.clear();
    s.activeObservations.clear();
    s.activeActions.clear();
    s.seenRequests.clear();
    s.seenOrder.clear();
    s.observationVersion = 0;
    s.lastFrontWindow = 0;
  }
  stopEpoch().set(0);
  foregroundEpoch().set(0);
  ownerPidValue().set(0);
  ownerBundleValue().set("");
}

}  // namespace qcu
