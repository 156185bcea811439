// The owner monitor: a tick every 100 ms that ends the process when the owner is gone and, while
// a window is bound, reports what happened to it.
#pragma once

#include <cstdint>
#include <optional>

#include "session/identity.h"

namespace qcu {

struct MonitorState {
  std::int64_t ticks = 0;
  std::int32_t ownerPid = 0;
  std::uint64_t ownerStart = 0;
  std::int64_t lastInputEpoch = 0;
  std::optional<Ident> watched;  // the bound window the flags below were last set for
  bool wasForeground = false;
  bool wasLocked = false;
  bool targetGone = false;
};

// The monitor's state at start: the owner and the current input epoch.
MonitorState initialMonitorState(std::int32_t ownerPid, std::uint64_t ownerStart);
// One tick. Ends the process (status 0) when the owner is gone.
void monitorTick(MonitorState& monitor);
// Whether the owner process still exists and is the same incarnation.
bool ownerAlive(std::int32_t ownerPid, std::uint64_t ownerStart);
// Starts the ticking thread; returns at once.
void startMonitor(std::int32_t ownerPid, std::uint64_t ownerStart);

}  // namespace qcu
