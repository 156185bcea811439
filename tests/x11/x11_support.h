// What the X11 backend's tests share: the backend opened on the desktop of the environment, a
// test connection of their own, the test client, and waits with deadlines.
#pragma once

// GoogleTest comes before the X11 headers, whose macros (None, Bool) clash with it.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desktop/windows.h"
#include "process/child.h"

namespace qcu::test {

// Polls until the condition holds or the deadline passes; false then.
inline bool waitFor(const std::function<bool()>& condition, double seconds = 10.0) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

// The test client: a process of its own with windows made on request.
struct TestClient {
  Child child;
  pid_t pid() const { return child.pid; }
  // Makes a window and returns its id; 0 when the client did not answer.
  Window window(int x, int y, int width, int height, const std::string& title,
                const std::string& type = "normal", const std::string& state = "none",
                const std::string& encoding = "utf8");
  bool command(const std::string& line);
};
TestClient startClient(const std::string& path = QCU_X11_CLIENT);

// The row of a window in a snapshot; none when it is not there.
std::optional<WinRec> rowOf(const std::vector<WinRec>& rows, Window window);
// Waits until the window is listed.
bool waitListed(Window window, double seconds = 10.0);

// The frame rectangle a manager put around a client, from the client's position on the root and
// the manager's _NET_FRAME_EXTENTS.
Rect expectedFrame(Display* display, Window client);

// Opens the backend on the environment's display for each test, and a test connection beside it.
class X11Test : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  Display* test = nullptr;
};

}  // namespace qcu::test
