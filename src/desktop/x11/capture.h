// Window captures of the X11 backend; the seam's capture functions are defined in capture.cpp.
#pragma once

namespace qcu::x11 {

// Captures started and not yet ended, terminated ones included.
int capturesUnfinished();
// Waits for every capture to end, then closes the capture thread's connection (the next capture
// opens a new one). For tests that close or change the display, which must wait for this first.
// False when it was not done within the timeout.
bool closeCaptureConnection(double timeoutSeconds);

}  // namespace qcu::x11
