// Process facts read from the Linux /proc file system, shared by both Linux backends.
#pragma once

#include <cstdint>
#include <optional>

#include "desktop/platform.h"

namespace qcu {

// Start time of a live process: boot time plus the process's start ticks. None when the process
// does not exist, has already exited (a zombie) or its record cannot be read.
std::optional<ProcessStart> procfsProcessStart(std::int32_t pid);
// True when the process exists and has not exited: the null signal reaches it (or reports that it
// exists but may not be signalled) and it is not a zombie. Ids below 1 name no single process.
bool procfsProcessAlive(std::int32_t pid);

}  // namespace qcu
