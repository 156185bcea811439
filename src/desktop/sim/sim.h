// The simulated desktop's interface for in-process tests: build a desktop from a description,
// change it with control commands, and run test code at exact moments of the helper's platform
// calls. The description and command formats are documented in docs/sim-desktop.md.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "desktop/platform.h"

namespace qcu::sim {

// Back to the empty desktop: no windows, applications or simulated processes; both permissions
// granted; the input counter present with every count 0; the session unlocked on the console;
// pasteboard change count 0; the window-number lookup present; the platform's default messaging
// timeout; no hook.
void reset();

// Replaces the desktop with a description. Returns an error text, empty on success; on error the
// desktop is left empty.
std::string load(const nlohmann::json& description);
std::string loadFile(const std::string& path);

// Applies one control command and returns its reply: {"ok": true} or {"ok": false, "error": ...},
// with the command's "id" echoed when it has one.
nlohmann::json control(const nlohmann::json& command);

// Reads newline-delimited commands from fd on a thread of its own and replies on the same fd
// when it is writable (a socket); the thread closes fd at end of input.
void startControl(int fd);

// One platform call as seen by the hook. pid is the process or application it concerns (0 when
// none); name is the attribute or action name, or a synthetic event's type ("key-up"); node the
// element's fixture id.
struct Call {
  std::string_view function;  // the platform function, e.g. "platformCopyAttribute"
  std::int32_t pid = 0;
  std::string_view name;
  std::string_view node;
};
using Hook = std::function<void(const Call&)>;

// Runs hook at the start of every platform call, before the call looks at the desktop, so a
// change the hook makes is what that call sees. The hook runs on the calling thread with no
// desktop lock held; platform calls it makes itself do not run it again. An empty hook removes it.
void setHook(Hook hook);

// The messaging timeout the helper last set (seconds).
double messagingTimeoutSeconds();

// The file paths of the window captures started since the desktop was last reset or loaded,
// oldest first.
std::vector<std::string> capturePaths();

// One synthetic input event the helper posted.
struct PostedEvent {
  // "mouse-moved", "left-down", "left-up", "wheel", "key-down" or "key-up".
  std::string type;
  Point point;                       // mouse events: where; wheel: the pointer's position then
  std::int64_t clickCount = 0;       // mouse events; 0 when the helper set none
  std::int32_t verticalLines = 0;    // wheel
  std::int32_t horizontalLines = 0;  // wheel
  std::uint32_t keyCode = 0;         // key events
  std::uint64_t flags = 0;           // key events
};

// The synthetic input events posted since the desktop was last reset or loaded (or the log was
// cleared), oldest first.
std::vector<PostedEvent> postedEvents();

// The errors of the commands that failed when effects or scheduled commands applied them since
// the desktop was last reset or loaded, oldest first.
std::vector<std::string> effectErrors();

}  // namespace qcu::sim
