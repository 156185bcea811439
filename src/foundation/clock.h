// The one source of wall-clock time. Leases, prepared actions and deadlines are wall-clock
// time points; in-process tests move the clock forward instead of sleeping.
#pragma once

#include <chrono>

namespace qcu {

using Clock = std::chrono::system_clock;
using TimePoint = Clock::time_point;
using Seconds = std::chrono::duration<double>;

// Current wall-clock time, including any offset added by tests.
TimePoint wallNow();
// A time point the given number of seconds after now.
TimePoint wallAfter(double seconds);
// Moves the wall clock forward for in-process tests.
void advanceClockForTests(Seconds by);
void resetClockForTests();
// Blocks the calling thread.
void sleepSeconds(double seconds);

}  // namespace qcu
