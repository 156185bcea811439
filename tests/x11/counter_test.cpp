// The counter of physical input and the clipboard change count, moved by other programs and by
// devices, never by the helper's own input.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <chrono>
#include <functional>
#include <thread>

#include "desktop/signals.h"
#include "desktop/x11/display.h"
#include "x11/input_fixture.h"

namespace qcu::test {
namespace {

using CounterTest = X11InputTest;

bool waitFor(const std::function<bool()>& condition, double seconds = 10.0) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Waits until the epoch moved by exactly delta from before; the value it settled at otherwise.
std::int64_t settle(std::int64_t before, std::int64_t delta) {
  waitFor([&] { return userInputEpoch() >= before + delta; });
  return userInputEpoch() - before;
}

TEST_F(CounterTest, OtherProgramsMoveTheEpochExactlyAndTheHelpersOwnInputNever) {
  ASSERT_TRUE(inputCounterAvailable());
  TestWindow window = showFrontWindow(test, 100, 100, 200, 200);
  auto from = source();
  const std::int64_t start = userInputEpoch();
  // The helper's own click, chord and scroll, then one move by another program: once that move
  // is counted, everything posted before it was seen too.
  const Point point{150, 150};
  ASSERT_TRUE(post(from, {platformMakeMouseEvent(from, MouseEventType::Moved, point, 0),
                          platformMakeMouseEvent(from, MouseEventType::LeftDown, point, 0),
                          platformMakeMouseEvent(from, MouseEventType::LeftUp, point, 0),
                          platformMakeKeyEvent(from, XK_a, true, ControlMask | ShiftMask),
                          platformMakeKeyEvent(from, XK_a, false, ControlMask | ShiftMask),
                          platformMakeMouseEvent(from, MouseEventType::Moved, point, 0),
                          platformMakeScrollWheel(from, 3, -2)}));
  ASSERT_EQ(runProgram({"xdotool", "mousemove_relative", "--", "3", "2"}), 0);
  EXPECT_EQ(settle(start, 1), 1) << "the helper's input counted, or the move did not";

  // Press and release each count once.
  std::int64_t before = userInputEpoch();
  ASSERT_EQ(runProgram({"xdotool", "click", "1"}), 0);
  EXPECT_EQ(settle(before, 2), 2);
  before = userInputEpoch();
  ASSERT_EQ(runProgram({"xdotool", "key", "x"}), 0);
  EXPECT_EQ(settle(before, 2), 2);
  // A middle button counts its press only, as the summed event types have it.
  before = userInputEpoch();
  ASSERT_EQ(runProgram({"xdotool", "click", "2"}), 0);
  EXPECT_EQ(settle(before, 1), 1);
  ASSERT_EQ(runProgram({"xdotool", "mousemove_relative", "--", "-3", "-2"}), 0);
}

TEST_F(CounterTest, ADeviceAddedAfterTheCounterStartedIsCounted) {
  // Another master pair, as a person plugging in a mouse or another program with its own
  // devices: its XTEST pointer did not exist when the counter began.
  XIAnyHierarchyChangeInfo add{};
  char name[] = "qcu-test-device";
  add.add.type = XIAddMaster;
  add.add.name = name;
  add.add.send_core = True;
  add.add.enable = True;
  ASSERT_EQ(XIChangeHierarchy(test, &add, 1), Success);
  XSync(test, False);
  const int pointer = masterPointerNamed(test, name);
  ASSERT_NE(pointer, 0);
  const std::int64_t before = userInputEpoch();
  XISetClientPointer(test, None, pointer);
  XTestFakeRelativeMotionEvent(test, 4, 4, CurrentTime);
  XSync(test, False);
  EXPECT_EQ(settle(before, 1), 1) << "the added device's move was not counted exactly once";
  XIAnyHierarchyChangeInfo remove{};
  remove.remove.type = XIRemoveMaster;
  remove.remove.deviceid = pointer;
  remove.remove.return_mode = XIFloating;
  XIChangeHierarchy(test, &remove, 1);
  XSync(test, False);
}

TEST_F(CounterTest, EveryChangeOfTheClipboardsOwnerMovesTheCount) {
  TestWindow window = showWindow(test, 10, 10, 20, 20);
  const Atom clipboard = XInternAtom(test, "CLIPBOARD", False);
  const std::int64_t before = platformPasteboardChangeCount();
  XSetSelectionOwner(test, clipboard, window.window, CurrentTime);
  XSync(test, False);
  EXPECT_TRUE(waitFor([&] { return platformPasteboardChangeCount() == before + 1; }))
      << "taking the clipboard was not counted once";
  // The same owner copying anew, then giving it up.
  XSetSelectionOwner(test, clipboard, window.window, CurrentTime);
  XSetSelectionOwner(test, clipboard, None, CurrentTime);
  XSync(test, False);
  EXPECT_TRUE(waitFor([&] { return platformPasteboardChangeCount() == before + 3; }))
      << "taking it again and letting it go were not counted";
  // Another selection is no clipboard.
  XSetSelectionOwner(test, XA_PRIMARY, window.window, CurrentTime);
  XSetSelectionOwner(test, clipboard, window.window, CurrentTime);
  XSync(test, False);
  EXPECT_TRUE(waitFor([&] { return platformPasteboardChangeCount() >= before + 4; }));
  EXPECT_EQ(platformPasteboardChangeCount(), before + 4);
}

TEST_F(CounterTest, WithoutTheDisplayTheCounterIsGoneAndNoTwoClipboardReadsAgree) {
  qcu::x11::displayClose();
  EXPECT_FALSE(inputCounterAvailable());
  EXPECT_EQ(userInputEpoch(), -1);
  EXPECT_NE(platformPasteboardChangeCount(), platformPasteboardChangeCount());
  EXPECT_FALSE(platformCreateInputSource().has_value());
}

}  // namespace
}  // namespace qcu::test
