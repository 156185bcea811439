// What the X11 input tests share: the backend opened on the test's virtual desktop with its
// counters running, a test connection of their own, and a window on it that records the input
// it receives.
#pragma once

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <optional>
#include <string>
#include <vector>

#include "desktop/platform.h"

namespace qcu::test {

// A plain window of the test connection, placed where it asks to be (no manager moves it),
// holding the keyboard focus once shown.
struct TestWindow {
  Display* display = nullptr;
  Window window = None;
  int x = 0;
  int y = 0;
  // The next event of one of these types within the deadline; none after it.
  std::optional<XEvent> next(const std::vector<int>& types, double seconds = 10.0);
};
TestWindow showWindow(Display* display, int x, int y, int width, int height);
// A top-level window that the window manager frames, shown raised and holding the keyboard focus
// once the backend lists it as the front window: the only kind of window keys may reach.
TestWindow showFrontWindow(Display* display, int x, int y, int width, int height);

// Device ids of the master pair under this name (pointer, keyboard); 0 when it is not there.
int masterPointerNamed(Display* display, const std::string& pairName);
// The id of the input device with this name; 0 when there is none.
int deviceNamed(Display* display, const std::string& name);
// The key codes that are down on a slave device; none when its state cannot be read.
std::optional<std::vector<int>> keysDown(Display* display, int device);

// Runs a program to its end; its exit status, or -1.
int runProgram(const std::vector<std::string>& arguments);

class X11InputTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  InputSource source();
  // Makes and posts events in order; false at the first that cannot be made or posted.
  bool post(const InputSource& from, const std::vector<std::optional<InputEvent>>& events);
  Display* test = nullptr;
};

}  // namespace qcu::test
