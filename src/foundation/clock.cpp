#include "foundation/clock.h"

#include <atomic>
#include <thread>

namespace qcu {
namespace {

std::atomic<Clock::duration::rep> wallOffset{0};
std::atomic<SteadyTime::rep> steadyOffset{0};
// While held, each clock reads as the instant it was held at (plus its offset).
std::atomic<bool> held{false};
std::atomic<Clock::duration::rep> wallHeldAt{0};
std::atomic<SteadyTime::rep> steadyHeldAt{0};

}  // namespace

TimePoint wallNow() {
  const TimePoint base = held ? TimePoint(Clock::duration(wallHeldAt.load())) : Clock::now();
  return base + Clock::duration(wallOffset.load());
}

TimePoint wallAfter(double seconds) {
  return wallNow() + std::chrono::duration_cast<Clock::duration>(Seconds(seconds));
}

SteadyTime steadyNow() {
  const SteadyTime base = held ? SteadyTime(SteadyTime::duration(steadyHeldAt.load()))
                               : std::chrono::steady_clock::now();
  return base + SteadyTime::duration(steadyOffset.load());
}

void advanceClockForTests(Seconds by) {
  wallOffset += std::chrono::duration_cast<Clock::duration>(by).count();
}

void advanceSteadyClockForTests(Seconds by) {
  steadyOffset += std::chrono::duration_cast<SteadyTime::duration>(by).count();
}

void holdClocksForTests() {
  wallHeldAt = Clock::now().time_since_epoch().count();
  steadyHeldAt = std::chrono::steady_clock::now().time_since_epoch().count();
  held = true;
}

void resetClockForTests() {
  held = false;
  wallOffset = 0;
  steadyOffset = 0;
}

void sleepSeconds(double seconds) {
  if (seconds > 0) std::this_thread::sleep_for(Seconds(seconds));
}

}  // namespace qcu
