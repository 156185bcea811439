// The window list on a real X11 desktop: order, frame geometry, layers, titles, opacity.

// GoogleTest comes before the X11 headers, whose macros (None, Bool) clash with it.
#include <gtest/gtest.h>

#include <unistd.h>

#include "x11/x11_support.h"

namespace qcu::test {
namespace {

// The listed order of some windows, front to back.
std::vector<Window> orderOf(const std::vector<Window>& windows) {
  std::vector<Window> order;
  for (const auto& row : cgWindows()) {
    for (Window window : windows) {
      if (row.id == window) order.push_back(window);
    }
  }
  return order;
}

using WindowListTest = X11Test;

TEST_F(WindowListTest, RowsFrontToBackWithFrameGeometryAndAfterARestack) {
  TestClient client = startClient();
  Window a = client.window(40, 60, 300, 200, "first");
  Window b = client.window(120, 140, 320, 210, "second");
  Window c = client.window(200, 220, 340, 220, "third");
  ASSERT_TRUE(a && b && c) << "the test client made no windows";
  ASSERT_TRUE(waitFor([&] {
    return orderOf({a, b, c}).size() == 3;
  })) << "the three windows were never listed";

  // Each newly mapped window comes up on top.
  EXPECT_TRUE(waitFor([&] { return orderOf({a, b, c}) == std::vector<Window>{c, b, a}; }));
  auto rows = cgWindows();
  for (Window window : {a, b, c}) {
    auto row = rowOf(rows, window);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->pid, client.pid());
    EXPECT_EQ(row->layer, 0);
    Rect frame = expectedFrame(test, window);
    EXPECT_TRUE(sameGeometry(row->bounds, frame))
        << row->bounds.x << "," << row->bounds.y << " " << row->bounds.width << "x"
        << row->bounds.height << " listed, " << frame.x << "," << frame.y << " " << frame.width
        << "x" << frame.height << " framed";
  }

  // The application asks for its first window to be raised; the manager restacks it.
  XRaiseWindow(test, a);
  XSync(test, False);
  EXPECT_TRUE(waitFor([&] {
    return orderOf({a, b, c}) == std::vector<Window>{a, c, b};
  })) << "the raised window did not come to the front of the list";
}

TEST_F(WindowListTest, LayersTitlesAndOpacity) {
  TestClient client = startClient();
  Window normal = client.window(10, 10, 200, 150, "Grüße — 日本語 ✓");
  Window latin = client.window(30, 30, 200, 150, "Café crème", "normal", "none", "latin1");
  Window dock = client.window(0, 700, 1280, 40, "panel", "dock");
  Window above = client.window(50, 50, 200, 150, "always on top", "normal", "above");
  Window palette = client.window(70, 70, 120, 150, "palette", "utility");
  Window faded = client.window(90, 90, 200, 150, "faded");
  Window minimised = client.window(110, 110, 200, 150, "minimised");
  for (Window window : {normal, latin, dock, above, palette, faded, minimised})
    ASSERT_TRUE(window && waitListed(window)) << "window " << window << " was never listed";
  ASSERT_TRUE(client.command("opacity " + std::to_string(faded) + " 0.5"));
  ASSERT_TRUE(client.command("iconify " + std::to_string(minimised)));

  ASSERT_TRUE(waitFor([&] {
    auto row = rowOf(cgWindows(), minimised);
    return row && row->layer != 0;
  })) << "a minimised window kept the layer of an ordinary window";
  auto rows = cgWindows();
  EXPECT_EQ(rowOf(rows, normal)->name, "Grüße — 日本語 ✓");
  EXPECT_EQ(rowOf(rows, latin)->name, "Café crème");
  EXPECT_EQ(rowOf(rows, normal)->owner, "QcuTestClient");
  EXPECT_EQ(rowOf(rows, normal)->layer, 0);
  EXPECT_NE(rowOf(rows, dock)->layer, 0);
  EXPECT_NE(rowOf(rows, above)->layer, 0);
  EXPECT_NE(rowOf(rows, palette)->layer, 0);
  EXPECT_NEAR(rowOf(rows, faded)->alpha, 0.5, 0.001);
  EXPECT_DOUBLE_EQ(rowOf(rows, normal)->alpha, 1.0);
  // None of the special windows is ever the front window, whatever their stacking.
  std::uint32_t front = frontWindowID(rows);
  for (Window window : {dock, above, palette, minimised})
    EXPECT_NE(front, window);
}

// A window can claim any process in _NET_WM_PID; the row names the process the server knows.
TEST_F(WindowListTest, TheProcessIsTheServersWordNotTheWindowsClaim) {
  TestClient client = startClient();
  Window window = client.window(20, 20, 200, 150, "claims another process");
  ASSERT_TRUE(window && waitListed(window));
  ASSERT_TRUE(
      client.command("claimpid " + std::to_string(window) + " " + std::to_string(getpid())));
  auto row = rowOf(cgWindows(), window);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->pid, client.pid());
}

}  // namespace
}  // namespace qcu::test
