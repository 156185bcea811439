// Helpers for tests that run on the simulated desktop: a fixture that starts every test from an
// empty desktop and a fresh session, builders for desktop descriptions and control commands
// (docs/sim-desktop.md has the full format), and registration of elements as observed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "desktop/platform.h"
#include "observation/element.h"
#include "session/identity.h"

namespace qcu::test {

// Empty simulated desktop without a hook, empty session store, real clocks, and accessibility
// calls bounded by 1 second as the helper's start-up sets them.
void resetDesktopAndSession();

class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override { resetDesktopAndSession(); }
  void TearDown() override { resetDesktopAndSession(); }
};

// Both throw std::runtime_error with the simulator's message, which fails the test.
void loadDesktop(const nlohmann::json& description);
void controlDesktop(const nlohmann::json& command);

// ---- Descriptions ----

// A window-list row: {"number", "pid", "title", "bounds": [x, y, width, height]}.
nlohmann::json windowRow(std::uint32_t number, std::int32_t pid, const std::string& title,
                         Rect bounds);
// An application named name: executable /Applications/<name>.app/Contents/MacOS/<name>, bundle
// identifier com.example.<name>, localized name name, and the given window elements.
nlohmann::json appEntry(std::int32_t pid, const std::string& name,
                        nlohmann::json windows = nlohmann::json::array());
// A window element tied to window row number (its frame follows the row), titled title.
nlohmann::json windowNode(std::uint32_t number, const std::string& title,
                          nlohmann::json children = nlohmann::json::array());

// The window most scenarios act on: window TARGET_WINDOW "Draft" of the application "notes"
// (TARGET_PID) at TARGET_BOUNDS; and a window "Sums" of another application, "calc".
inline constexpr std::int32_t TARGET_PID = 9004200;
inline constexpr std::uint32_t TARGET_WINDOW = 101;
inline constexpr Rect TARGET_BOUNDS{100, 80, 640, 480};
inline constexpr std::int32_t OTHER_PID = 9004300;
inline constexpr std::uint32_t OTHER_WINDOW = 202;
inline constexpr Rect OTHER_BOUNDS{300, 300, 400, 300};
// The target application with its window element holding children, and the window's row.
nlohmann::json targetApp(nlohmann::json children = nlohmann::json::array());
nlohmann::json targetRow();
nlohmann::json otherApp();
nlohmann::json otherRow();
// A desktop with the target window alone, its element holding children; extra keys are merged
// into the description.
nlohmann::json targetDesktop(nlohmann::json children = nlohmann::json::array(),
                             const nlohmann::json& extra = nlohmann::json::object());

// Elements: the given element with a frame; a pressable button; a static text showing text; a
// text field holding value whose value can be set; a group of children.
nlohmann::json framed(nlohmann::json element, Rect frame);
nlohmann::json button(const std::string& title);
nlohmann::json staticText(const std::string& text);
nlohmann::json textField(const std::string& value);
nlohmann::json group(nlohmann::json children);

// ---- Control commands and effects ----

// Sets the attribute of element node of the application pid to a typed value.
nlohmann::json setAttribute(std::int32_t pid, const std::string& node, const std::string& attribute,
                            const nlohmann::json& value);
// An effect: every time trigger happens, the commands are applied (after that many seconds).
nlohmann::json effect(const nlohmann::json& trigger, const std::vector<nlohmann::json>& commands,
                      double after = 0);
// Triggers: element node of pid is pressed; any event of the type is posted.
nlohmann::json onPress(std::int32_t pid, const std::string& node);
nlohmann::json onEvent(const std::string& type);

// ---- The session ----

// The exact identity of a simulated window, with its process's current start time.
Ident identOf(std::int32_t pid, std::uint32_t window);

// Registers the element of window element ident.win whose AXIdentifier is node, as an
// observation would: under reference ref, with the given role, its label and state kind, and a
// lifetime of ttl seconds. Returns the entry; fails the test when there is no such element.
std::shared_ptr<const ElementEntry> registerElement(const Ident& ident, const std::string& node,
                                                    const std::string& ref, const std::string& role,
                                                    double ttl = 30);

// Runs action once, at the nth (1-based) platform call named function that concerns pid
// (0: any pid), before that call looks at the desktop. Replaces any hook.
void onCall(const std::string& function, std::int32_t pid, int nth, std::function<void()> action);

}  // namespace qcu::test
