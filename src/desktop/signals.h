// Desktop signals the safety checks rely on: the user-input epoch, the screen lock, and who a
// process is.
#pragma once

#include <cstdint>
#include <string>

namespace qcu {

struct ProcMeta {
  std::string name;     // executable file name, else the localized name
  std::string bundle;   // bundle identifier as reported
  std::string product;  // localized display name
};

// Sum of the input event counters; -1 when the counter is unavailable.
std::int64_t userInputEpoch();
bool inputCounterAvailable();
bool screenLocked();
ProcMeta processMeta(std::int32_t pid);

}  // namespace qcu
