#include "foundation/clock.h"

#include <atomic>
#include <thread>

namespace qcu {
namespace {
std::atomic<Clock::duration::rep> testOffset{0};
}

TimePoint wallNow() {
  return Clock::now() + Clock::duration(testOffset.load());
}

TimePoint wallAfter(double seconds) {
  return wallNow() + std::chrono::duration_cast<Clock::duration>(Seconds(seconds));
}

void advanceClockForTests(Seconds by) {
  testOffset += std::chrono::duration_cast<Clock::duration>(by).count();
}

void resetClockForTests() {
  testOffset = 0;
}

void sleepSeconds(double seconds) {
  if (seconds > 0) std::this_thread::sleep_for(Seconds(seconds));
}

}  // namespace qcu
