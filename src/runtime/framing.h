// Inbound framing: standard input cut into lines, each complete non-empty line handed to the
// dispatcher; lines over the size limit are refused once, when their line feed arrives.
#pragma once

#include "foundation/lines.h"

namespace qcu {

// Reads standard input until it ends, dispatching every line; then cancels all work and exits
// with status 0. Never returns in the real process.
void readLoop();

// Reads lines from a file descriptor and dispatches them; returns at end of input or on a read
// error. readLoop is this on descriptor 0 followed by the exit.
void readLines(int fd);

}  // namespace qcu
