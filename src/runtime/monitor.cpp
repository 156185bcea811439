#include "runtime/monitor.h"

#include <pthread.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include "desktop/platform.h"
#include "desktop/signals.h"
#include "desktop/windows.h"
#include "foundation/limits.h"
#include "runtime/lifecycle.h"
#include "runtime/output.h"
#include "session/identity.h"
#include "session/state.h"

namespace qcu {
namespace {

constexpr auto TICK = std::chrono::milliseconds(100);
constexpr std::int64_t OWNER_CHECK_EVERY = 5;

std::uint64_t absDiff(std::uint64_t a, std::uint64_t b) {
  return a > b ? a - b : b - a;
}

}  // namespace

bool ownerAlive(std::int32_t ownerPid, std::uint64_t ownerStart) {
  if (!platformProcessAlive(ownerPid)) return false;
  auto start = processStart100ns(ownerPid);
  if (!start) return false;
  return absDiff(*start, ownerStart) <= START_TIME_TOLERANCE_100NS;
}

MonitorState initialMonitorState(std::int32_t ownerPid, std::uint64_t ownerStart) {
  MonitorState monitor;
  monitor.ownerPid = ownerPid;
  monitor.ownerStart = ownerStart;
  monitor.lastInputEpoch = userInputEpoch();
  return monitor;
}

void monitorTick(MonitorState& monitor) {
  ++monitor.ticks;
  if (monitor.ticks % OWNER_CHECK_EVERY == 0 && !ownerAlive(monitor.ownerPid, monitor.ownerStart)) {
    cancelEverything();
    exitProcess(0);
    return;
  }
  drainForegroundEvents();

  std::optional<Ident> selected;
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    selected = s.selected;
  }
  std::int64_t epoch = userInputEpoch();
  if (!selected) {
    // The per-window flags start afresh with the next binding.
    monitor.lastInputEpoch = epoch;
    monitor.wasForeground = false;
    monitor.wasLocked = false;
    monitor.targetGone = false;
    monitor.watched.reset();
    return;
  }
  // "Was in front" belongs to one window: another bound window starts without it, as on the
  // first binding, so it is never reported to lose a foreground it never had. The other flags
  // carry over.
  if (selected != monitor.watched) {
    monitor.watched = selected;
    monitor.wasForeground = false;
  }
  if (epoch != monitor.lastInputEpoch) {
    monitor.lastInputEpoch = epoch;
    emitEvent("hardware-input", selected, "input epoch changed");
  }
  auto snapshot = cgWindows();
  if (findWindow(snapshot, *selected)) {
    monitor.targetGone = false;
    bool foreground = frontWindowID(snapshot) == selected->win;
    if (monitor.wasForeground && !foreground) {
      emitEvent("focus-lost", selected, "selected window lost the foreground");
    }
    monitor.wasForeground = foreground;
    bool locked = screenLocked();
    if (locked && !monitor.wasLocked) {
      emitEvent("screen-locked", selected, "interactive desktop unavailable");
    }
    monitor.wasLocked = locked;
  } else if (!monitor.targetGone) {
    monitor.targetGone = true;
    emitEvent("target-destroyed", selected, "selected window is gone");
  }
}

void startMonitor(std::int32_t ownerPid, std::uint64_t ownerStart) {
  MonitorState monitor = initialMonitorState(ownerPid, ownerStart);
  std::thread([monitor]() mutable {
    pthread_setname_np(pthread_self(), "quorvel.monitor");
    // Ticks against the steady clock so that a wall-clock change neither stalls nor bunches them.
    auto next = std::chrono::steady_clock::now() + TICK;
    for (;;) {
      std::this_thread::sleep_until(next);
      monitorTick(monitor);
      next += TICK;
      auto now = std::chrono::steady_clock::now();
      if (next < now) next = now;  // a slow tick delays the next one instead of bunching
    }
  }).detach();
}

}  // namespace qcu
