// The platform seam: everything the helper asks of the desktop it runs on. Each function is
// defined by exactly one backend, chosen when the executable is linked (the simulated desktop
// or the X11 + AT-SPI2 desktop). Backends never throw and never log: whatever they cannot answer
// they report as no value, and the common code above the seam decides what that means.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace qcu {

struct Point {
  double x = 0;
  double y = 0;
};
struct Size {
  double width = 0;
  double height = 0;
};
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};
struct TextRange {
  std::int64_t location = 0;
  std::int64_t length = 0;
};

// A reference-counted accessibility element handle. Copies share the element; the last copy
// releases it. An empty handle names no element.
struct AXElement {
  std::shared_ptr<void> ref;
  explicit operator bool() const { return ref != nullptr; }
};

// An attribute value of a type the common code does not interpret.
struct AXOther {};

// An accessibility attribute value as the platform typed it.
using AXValue =
    std::variant<AXOther, std::string, bool, std::int64_t, double, Point, Size, TextRange,
                 AXElement, std::vector<AXElement>, std::vector<std::string>>;

// The running application behind a process id; each field is optional on its own.
struct RunningApp {
  std::optional<std::string> executablePath;
  std::optional<std::string> localizedName;
  std::optional<std::string> bundleIdentifier;
};

// Backend set-up from the command line, before start-up reads its own options. Backends take
// only their own options and ignore the rest. Returns false when the backend cannot run.
bool platformInit(int argc, char** argv);

// "darwin" or "linux": which key chords the owner must use.
std::string platformName();

// ---- Processes ----
// Start time of a process in seconds and microseconds since 1970; none when unknown.
struct ProcessStart {
  std::int64_t seconds = 0;
  std::int64_t microseconds = 0;
};
std::optional<ProcessStart> platformProcessStart(std::int32_t pid);
// The same start time in 100-ns units since 1970, the measure owners pass on the command line;
// none for a time before 1970 or a negative fraction.
inline std::optional<std::uint64_t> startTime100ns(const ProcessStart& started) {
  if (started.seconds <= 0 || started.microseconds < 0) return std::nullopt;
  return static_cast<std::uint64_t>(started.seconds) * 10'000'000u +
         static_cast<std::uint64_t>(started.microseconds) * 10u;
}
// The null signal: true when the process exists and may be signalled.
bool platformProcessAlive(std::int32_t pid);

// ---- Permissions ----
bool platformAccessibilityTrusted();
bool platformScreenCaptureAllowed();

// ---- Window server ----
// The on-screen window list, front to back, as raw rows whose fields may be missing or mistyped:
// an array of objects with the keys "kCGWindowNumber", "kCGWindowOwnerPID", "kCGWindowBounds"
// ({"X","Y","Width","Height"}), "kCGWindowOwnerName", "kCGWindowName", "kCGWindowLayer",
// "kCGWindowAlpha". None when the window server gives no list. A window whose process the window
// server cannot tell is listed with a pid below 1, which names no process: it still covers the
// windows below it.
std::optional<nlohmann::json> platformWindowList();
// The current console session's dictionary; none when there is none.
std::optional<nlohmann::json> platformSessionDictionary();

// ---- Window capture ----
// A capture of one window that runs beside its caller, the way a child process does (it may be
// one). Its picture ends up either as a PNG file at the path it was given (a backend whose
// capture is a separate tool) or as pixels it holds until they are taken (a backend that reads
// the window itself, sparing an encoding and a decoding of the full-size picture). Copies share
// the capture; the last copy releases whatever it holds.
struct WindowCapture {
  std::shared_ptr<void> ref;
  explicit operator bool() const { return ref != nullptr; }
};
// A picture in memory: width x height pixels, row after row, each 0x00RRGGBB in the machine's
// byte order with the top byte ignored (the drawing library's RGB layout).
struct CapturedPixels {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;
};
// Starts capturing the window with this number alone (no shadow, no sound). A capture that
// writes a file creates it at path; one that holds pixels never touches path. None when the
// capture cannot be started.
std::optional<WindowCapture> platformStartWindowCapture(std::uint32_t window,
                                                        const std::string& path);
// True while the capture runs.
bool platformCaptureRunning(const WindowCapture& capture);
// Waits up to seconds while the capture runs; returns as soon as it has ended or was terminated
// (a backend that cannot tell may wait the whole time).
void platformWaitForCapture(const WindowCapture& capture, double seconds);
// Stops a running capture without waiting for its work; once this returns the capture writes
// nothing more to its path.
void platformTerminateCapture(const WindowCapture& capture);
// The exit status of a finished capture (0: the picture was taken); none while it runs or after
// it was terminated.
std::optional<int> platformCaptureExitStatus(const WindowCapture& capture);
// The picture of a finished capture that holds pixels, handed over once: later calls give none.
// None from a capture that writes a file, while it runs, after it was terminated or failed.
std::optional<CapturedPixels> platformTakeCapturedPixels(const WindowCapture& capture);

// ---- Applications ----
std::optional<RunningApp> platformRunningApplication(std::int32_t pid);
// Asks the application to come to the front; true when the request was accepted.
bool platformActivateApplication(std::int32_t pid);
// The general pasteboard's change count.
std::int64_t platformPasteboardChangeCount();

// ---- Input ----
// Whether the system input event counter exists on this desktop.
bool platformEventCounterAvailable();
// Count of events of one type for one event source state; 0 when the counter is unavailable.
std::uint32_t platformEventCount(std::uint32_t sourceState, std::uint32_t eventType);

// ---- Synthetic input ----
// The helper's own source of synthetic input, kept apart from the user's devices so that the
// input counter above never counts what the helper posts. Copies share the source.
struct InputSource {
  std::shared_ptr<void> ref;
  explicit operator bool() const { return ref != nullptr; }
};
// Makes the input source; none when this desktop cannot post synthetic input.
std::optional<InputSource> platformCreateInputSource();

enum class MouseEventType { Moved, LeftDown, LeftUp };
// One synthetic input event, made ahead of posting. Copies share the event.
struct InputEvent {
  std::shared_ptr<void> ref;
  explicit operator bool() const { return ref != nullptr; }
};
// Make one event; none when this desktop cannot make it. A mouse event lies at a screen point;
// clickCount 0 leaves the count to the platform. A scroll-wheel event carries line units for
// the vertical and horizontal wheels (positive: up and left) and lands where the pointer is
// when it is posted. A key event carries a key code and exactly the given modifier flags.
std::optional<InputEvent> platformMakeMouseEvent(const InputSource& source, MouseEventType type,
                                                 Point point, std::int64_t clickCount);
std::optional<InputEvent> platformMakeScrollWheel(const InputSource& source,
                                                  std::int32_t verticalLines,
                                                  std::int32_t horizontalLines);
std::optional<InputEvent> platformMakeKeyEvent(const InputSource& source, std::uint32_t keyCode,
                                               bool down, std::uint64_t flags);
// Posts one made event; false when the platform refused it.
bool platformPostEvent(const InputSource& source, const InputEvent& event);

// ---- Accessibility ----
// Bounds every later accessibility call.
void platformSetMessagingTimeout(double seconds);
// The application element of a process; none when the platform cannot make one.
std::optional<AXElement> platformApplicationElement(std::int32_t pid);
std::optional<AXValue> platformCopyAttribute(const AXElement& element, std::string_view name);
std::optional<std::vector<std::string>> platformActionNames(const AXElement& element);
// None when the settable query failed.
std::optional<bool> platformIsSettable(const AXElement& element, std::string_view name);
bool platformSetAttribute(const AXElement& element, std::string_view name, const AXValue& value);
bool platformPerformAction(const AXElement& element, std::string_view action);
// Whether this desktop can map a window element to its window number.
bool platformHasWindowNumberLookup();
std::optional<std::uint32_t> platformWindowNumberOfElement(const AXElement& element);
// True when both handles name the same element.
bool platformSameElement(const AXElement& a, const AXElement& b);

}  // namespace qcu
