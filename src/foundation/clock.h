// The one source of wall-clock time. Leases, prepared actions and deadlines are wall-clock
// time points; in-process tests move the clock forward instead of sleeping.
#pragma once

#include <chrono>

namespace qcu {

using Clock = std::chrono::system_clock;
using TimePoint = Clock::time_point;
using Seconds = std::chrono::duration<double>;
using SteadyTime = std::chrono::steady_clock::time_point;

// Current wall-clock time, including any offset added by tests.
TimePoint wallNow();
// A time point the given number of seconds after now.
TimePoint wallAfter(double seconds);
// Monotonic time for budgets that a change of the wall clock must neither cut short nor
// stretch, including any offset added by tests.
SteadyTime steadyNow();
// Moves the wall clock, or the monotonic one, forward for in-process tests.
void advanceClockForTests(Seconds by);
void advanceSteadyClockForTests(Seconds by);
// Stops both clocks where they stand, so that in-process tests decide alone when time passes
// (the offsets above still apply); resetClockForTests lets them run again.
void holdClocksForTests();
void resetClockForTests();
// Blocks the calling thread.
void sleepSeconds(double seconds);

}  // namespace qcu
