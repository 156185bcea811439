// The window list on a real X11 desktop: order, frame geometry, layers, titles, opacity.

// GoogleTest comes before the X11 headers, whose macros (None, Bool) clash with it.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "binding/candidates.h"
#include "desktop/platform.h"
#include "desktop/x11/display.h"
#include "policy/policy.h"
#include "runtime/output.h"
#include "session/identity.h"
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

// A private X server that also listens on TCP: a client that connects over TCP is one whose
// process the server cannot tell, as a remote client's. The backend is moved to it while it
// runs, and closed before the server goes.
struct TcpServer {
  Child server;
  std::string display;  // ":N"

  TcpServer() {
    std::string xvfb;
    const char* path = std::getenv("PATH");
    std::string_view dirs = path ? path : "/usr/bin";
    while (xvfb.empty() && !dirs.empty()) {
      auto end = dirs.find(':');
      std::string candidate = std::string(dirs.substr(0, end)) + "/Xvfb";
      if (access(candidate.c_str(), X_OK) == 0) xvfb = candidate;
      dirs = end == std::string_view::npos ? std::string_view{} : dirs.substr(end + 1);
    }
    if (xvfb.empty()) return;
    server = spawnChild(
        xvfb, {"-displayfd", "1", "-screen", "0", "1024x768x24", "-listen", "tcp", "-noreset"});
    if (auto number = server.readLine(15.0)) display = ":" + *number;
  }
  ~TcpServer() {
    x11::displayClose();
    if (server.pid > 0) {
      kill(server.pid, SIGTERM);
      server.waitExit(5.0);
    }
  }
};

std::vector<std::string> captured;
void capture(std::string_view line) {
  captured.emplace_back(line);
}

// The listing's answer, caught on its way out.
Json listCandidates() {
  captured.clear();
  setOutputSink(&capture);
  handleListCandidates("occluded");
  setOutputSink(nullptr);
  return captured.size() == 1 ? Json::parse(captured.front()) : Json();
}

// A window whose process the server cannot tell, above the bound one, covers it: the bound window
// is neither in front nor under the point, and the covering window is nobody's window.
TEST_F(WindowListTest, AWindowWithoutAKnownProcessCoversTheWindowsBelowAndIsNoCandidate) {
  TcpServer server;
  ASSERT_FALSE(server.display.empty()) << "no private X server listening on TCP";
  x11::displayClose();
  ASSERT_TRUE(x11::displayOpen(server.display.c_str()));
  TestClient local{spawnChild(QCU_X11_CLIENT, {}, {"DISPLAY=" + server.display})};
  TestClient remote{spawnChild(QCU_X11_CLIENT, {}, {"DISPLAY=127.0.0.1" + server.display})};
  Window bound = local.window(20, 20, 300, 200, "bound");
  Window cover = remote.window(120, 80, 300, 200, "from afar");
  ASSERT_TRUE(bound && cover) << "the test clients made no windows";
  ASSERT_TRUE(waitListed(bound));
  ASSERT_TRUE(waitListed(cover)) << "a window without a known process is not listed";

  auto rows = cgWindows();
  EXPECT_EQ(rowOf(rows, bound)->pid, local.pid());
  const std::int32_t pid = rowOf(rows, cover)->pid;
  EXPECT_LT(pid, 1) << "the server cannot know the process of a TCP client";
  EXPECT_EQ(frontWindowID(rows), cover);
  EXPECT_EQ(topWindowAt(rows, Point{200, 150}), cover);
  EXPECT_EQ(topWindowAt(rows, Point{40, 40}), bound);

  // The pid names no process, to any process function.
  EXPECT_FALSE(platformProcessAlive(pid));
  EXPECT_FALSE(processStart100ns(pid));
  EXPECT_FALSE(platformRunningApplication(pid));
  EXPECT_TRUE(isBlockedApplication(pid));

  Json answer = listCandidates();
  ASSERT_EQ(answer["ok"], true) << answer;
  for (const auto& candidate : answer["candidates"])
    EXPECT_NE(candidate["identity"]["hwnd"], std::to_string(cover)) << candidate;
  EXPECT_EQ(answer["skipped"].value("no-process", 0), 1) << answer["skipped"];
}

}  // namespace
}  // namespace qcu::test
