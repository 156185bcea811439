// The small picture of the target window that an observation may carry.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "desktop/platform.h"
#include "desktop/windows.h"
#include "foundation/clock.h"

namespace qcu {

// Captures the one window by its number and returns "data:image/png;base64," + a PNG of at most
// MAX_COMPUTER_SCREENSHOT_BYTES, no larger than MAX_COMPUTER_SCREENSHOT_WIDTH x _HEIGHT and
// never enlarged; none when it cannot (no permission, failed or overdue capture, unreadable or
// odd-sized picture, no size that fits). Stops waiting and shrinking once deadline has passed.
// The capture's temporary file is removed on every path. Never throws.
std::optional<std::string> windowPNG(const WinRec& window, TimePoint deadline);

// The pieces of the pipeline, for tests and benchmarks.

// The temporary directory, ending with "/": $TMPDIR when set, otherwise /tmp/.
std::string temporaryDirectory();
// temporaryDirectory() + "quorvel-cu-" + a fresh upper-case UUID + ".png".
std::string captureFilePath();
// From a captured PNG file, the first PNG encoding that fits, shrinking by 0.8 per attempt down
// to 32 x 24; none when the file is unreadable, of an unaccepted size, or nothing fits in time.
std::optional<std::string> fitPicture(const std::string& path, TimePoint deadline);
// The same from a picture held as pixels; none also when the pixels do not fill its size.
std::optional<std::string> fitPixels(const CapturedPixels& picture, TimePoint deadline);
// Standard Base64 with padding and no line breaks.
std::string base64Encode(std::string_view bytes);

}  // namespace qcu
