// Helpers for tests that run on the simulated desktop: a fixture that starts every test from an
// empty desktop and a fresh session, and small builders for desktop descriptions
// (docs/sim-desktop.md has the full format).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "desktop/platform.h"
#include "observation/element.h"
#include "session/identity.h"

namespace qcu::test {

// Empty simulated desktop, empty session store, real clock, and accessibility calls bounded by
// 1 second as the helper's start-up sets them.
void resetDesktopAndSession();

class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override { resetDesktopAndSession(); }
  void TearDown() override { resetDesktopAndSession(); }
};

// Both throw std::runtime_error with the simulator's message, which fails the test.
void loadDesktop(const nlohmann::json& description);
void controlDesktop(const nlohmann::json& command);

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
