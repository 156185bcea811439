// Applications and processes on a real X11 desktop: who a process is, activation, and the
// protected-application policy on Linux facts.
// GoogleTest comes before the X11 headers, whose macros (None, Bool) clash with it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "desktop/platform.h"
#include "policy/policy.h"
#include "x11/x11_support.h"

namespace qcu::test {
namespace {

using ApplicationsTest = X11Test;

TEST_F(ApplicationsTest, RunningApplicationFromProcAndItsWindows) {
  TestClient client = startClient();
  Window window = client.window(20, 20, 200, 150, "facts");
  ASSERT_TRUE(window && waitListed(window));

  auto app = platformRunningApplication(client.pid());
  ASSERT_TRUE(app);
  EXPECT_EQ(app->executablePath, std::filesystem::canonical(QCU_X11_CLIENT).string());
  EXPECT_EQ(app->localizedName, "QcuTestClient");
  EXPECT_EQ(app->bundleIdentifier, "QcuTestClient");

  // An application id, where the toolkit sets one, names the application before its class.
  ASSERT_TRUE(client.command("appid " + std::to_string(window) + " org.example.QcuTest"));
  EXPECT_TRUE(waitFor([&] {
    cgWindows();
    auto later = platformRunningApplication(client.pid());
    return later && later->bundleIdentifier == "org.example.QcuTest";
  })) << "the application id never replaced the window class";

  // A process without windows is known by its executable alone; a dead one not at all.
  auto self = platformRunningApplication(getpid());
  ASSERT_TRUE(self);
  EXPECT_TRUE(self->executablePath);
  EXPECT_FALSE(self->bundleIdentifier);
  pid_t gone = client.pid();
  client.child.closeInput();
  ASSERT_TRUE(client.child.waitExit(10.0)) << "the test client did not exit at end of input";
  EXPECT_FALSE(platformRunningApplication(gone));
}

// A program replaced on disk while it runs (an upgrade) still goes by its own name.
TEST_F(ApplicationsTest, ExecutableDeletedWhileRunningKeepsItsName) {
  auto directory = std::filesystem::temp_directory_path() / ("qcu-x11-" + std::to_string(getpid()));
  std::filesystem::create_directories(directory);
  auto copy = directory / "qcu-x11-client-copy";
  std::filesystem::copy_file(QCU_X11_CLIENT, copy,
                             std::filesystem::copy_options::overwrite_existing);
  TestClient client = startClient(copy.string());
  Window window = client.window(20, 20, 200, 150, "replaced");
  std::filesystem::remove_all(directory);
  ASSERT_TRUE(window && waitListed(window));
  auto app = platformRunningApplication(client.pid());
  ASSERT_TRUE(app && app->executablePath);
  EXPECT_EQ(*app->executablePath, copy.string());
}

TEST_F(ApplicationsTest, ActivationBringsABackgroundWindowToTheFront) {
  TestClient back = startClient();
  Window behind = back.window(100, 100, 300, 200, "behind");
  ASSERT_TRUE(behind && waitListed(behind));
  TestClient front = startClient();
  Window ahead = front.window(120, 120, 300, 200, "ahead");
  ASSERT_TRUE(ahead && waitListed(ahead));
  ASSERT_TRUE(waitFor([&] { return frontWindowID(cgWindows()) == ahead; }))
      << "the newer window never came to the front by itself";

  EXPECT_TRUE(platformActivateApplication(back.pid()));
  EXPECT_TRUE(waitFor([&] { return frontWindowID(cgWindows()) == behind; }))
      << "activation did not bring the background window to the front";
  // A process without windows has nothing to activate.
  EXPECT_FALSE(platformActivateApplication(getpid()));
}

TEST_F(ApplicationsTest, PolicyRefusesXtermAndAcceptsTheTestClient) {
  Child xterm = spawnChild("/usr/bin/xterm", {"-geometry", "60x10+300+300", "-e", "cat"});
  TestClient client = startClient();
  Window window = client.window(20, 20, 200, 150, "plain application");
  ASSERT_TRUE(window && waitListed(window));
  ASSERT_TRUE(waitFor([&] {
    for (const auto& row : cgWindows()) {
      if (row.pid == xterm.pid) return true;
    }
    return false;
  })) << "xterm's window was never listed";

  EXPECT_TRUE(isBlockedApplication(xterm.pid));
  EXPECT_FALSE(isBlockedApplication(client.pid()));
}

}  // namespace
}  // namespace qcu::test
