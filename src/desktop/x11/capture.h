// Window captures of the X11 backend; the seam's capture functions are defined in capture.cpp.
#pragma once

namespace qcu::x11 {

// Capture threads that have not ended yet, terminated ones included. Each ends on its own; tests
// wait for none before they close or reopen the display.
int captureThreadsRunning();

}  // namespace qcu::x11
