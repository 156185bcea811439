// The exact probe on the simulated desktop: identity, title, policy, and where the window stands.
#include <gtest/gtest.h>

#include <string>

#include "binding/probe.h"
#include "foundation/errors.h"
#include "foundation/text.h"
#include "session/state.h"
#include "support/harness.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using Json = nlohmann::json;
using test::appEntry;
using test::windowNode;
using test::windowRow;

using test::TARGET_PID;
using test::TARGET_WINDOW;

class ProbeTest : public test::DesktopTest {
 protected:
  // One ordinary application window, in front, with a clean tree.
  void loadNotes(const std::string& title = "Draft", Json children = Json::array()) {
    test::loadDesktop(
        {{"apps",
          {appEntry(TARGET_PID, "notes", {windowNode(TARGET_WINDOW, title, std::move(children))})}},
         {"windows", {windowRow(TARGET_WINDOW, TARGET_PID, title, {100, 80, 640, 480})}}});
  }

  static void expectFailure(const Ident& ident, bool blockUnsafe, bool inspectSurface,
                            const std::string& code, const std::string& message) {
    test::expectSafeError([&] { probeExact(ident, blockUnsafe, inspectSurface); }, code, message);
  }
};

TEST_F(ProbeTest, DescribesAnOrdinaryFrontWindow) {
  loadNotes();
  Ident ident = test::identOf(TARGET_PID, TARGET_WINDOW);
  ProbeData probe = probeExact(ident, true);
  EXPECT_EQ(probe.identity, ident);
  EXPECT_EQ(probe.title, "Draft");
  EXPECT_EQ(probe.titleFingerprint, titleFingerprint("Draft"));
  EXPECT_TRUE(probe.foreground);
  EXPECT_TRUE(probe.hitOwn);
  EXPECT_FALSE(probe.occluded);
  EXPECT_FALSE(probe.locked);
  Json wire = probe.object();
  EXPECT_EQ(wire.size(), 13u);
  EXPECT_EQ(wire["geometry"], (Json{{"left", 100}, {"top", 80}, {"width", 640}, {"height", 480}}));
  EXPECT_EQ(wire["dpi"], 96);
  EXPECT_EQ(wire["userInputEpoch"], 0);
  for (const char* key : {"elevated", "protectedProcess", "secureSurface"}) {
    EXPECT_EQ(wire[key], false) << key;
  }
}

TEST_F(ProbeTest, IdentityFailuresComeFirst) {
  loadNotes();
  Ident ident = test::identOf(TARGET_PID, TARGET_WINDOW);
  // A reused process id: the same pid with another start time.
  test::controlDesktop({{"op", "set-process"}, {"pid", TARGET_PID}, {"startSeconds", 1800000000}});
  expectFailure(ident, false, false, "target_changed", "PID/start/window identity changed");
  test::controlDesktop({{"op", "set-process"}, {"pid", TARGET_PID}, {"alive", false}});
  expectFailure(ident, false, false, "target_destroyed", "process no longer exists");
}

TEST_F(ProbeTest, AClosedWindowIsDestroyedEvenForAProtectedApplication) {
  // A terminal is refused by policy, but a window that no longer exists says so first.
  test::loadDesktop(
      {{"apps",
        {{{"pid", TARGET_PID},
          {"executablePath", "/Applications/Utilities/Terminal.app/Contents/MacOS/Terminal"},
          {"localizedName", "Terminal"},
          {"bundleIdentifier", "com.apple.Terminal"},
          {"windows", {windowNode(TARGET_WINDOW, "Sign in")}}}}},
       {"windows", {windowRow(TARGET_WINDOW, TARGET_PID, "Sign in", {0, 0, 500, 400})}}});
  Ident ident = test::identOf(TARGET_PID, TARGET_WINDOW);
  expectFailure(ident, true, true, "forbidden_target",
                "Quorvel, terminal, shell, browser or development surface blocked");
  test::controlDesktop({{"op", "remove-window"}, {"number", TARGET_WINDOW}});
  expectFailure(ident, true, true, "target_destroyed", "window no longer exists");
  // Another process's window with the same number is not this window.
  expectFailure(Ident{ident.pid, ident.start, TARGET_WINDOW + 1}, true, true, "target_destroyed",
                "window no longer exists");
}

TEST_F(ProbeTest, TitleIsRequiredWhateverTheFlags) {
  test::loadDesktop({{"apps", {appEntry(TARGET_PID, "notes")}},
                     {"windows", {windowRow(TARGET_WINDOW, TARGET_PID, "", {0, 0, 500, 400})}}});
  expectFailure(test::identOf(TARGET_PID, TARGET_WINDOW), false, false, "title_unavailable",
                "bounded window title unavailable");
  // A white-space title normalises to nothing and the accessibility title is not consulted.
  loadNotes("   ");
  expectFailure(test::identOf(TARGET_PID, TARGET_WINDOW), false, false, "title_unavailable",
                "bounded window title unavailable");
}

TEST_F(ProbeTest, ApplicationPolicyAppliesEvenWithoutUnsafeBlocking) {
  test::loadDesktop(
      {{"apps",
        {{{"pid", TARGET_PID},
          {"executablePath", "/Applications/Safari.app/Contents/MacOS/Safari"},
          {"localizedName", "Safari"},
          {"bundleIdentifier", "com.apple.Safari"},
          {"windows", {windowNode(TARGET_WINDOW, "Start Page")}}}}},
       {"windows", {windowRow(TARGET_WINDOW, TARGET_PID, "Start Page", {0, 0, 500, 400})}}});
  expectFailure(test::identOf(TARGET_PID, TARGET_WINDOW), false, false, "forbidden_target",
                "Quorvel, terminal, shell, browser or development surface blocked");
}

TEST_F(ProbeTest, TitleMarkersAndSurfaceWalkOnlyWhenBlockingUnsafe) {
  loadNotes("Sign in");
  Ident ident = test::identOf(TARGET_PID, TARGET_WINDOW);
  expectFailure(ident, true, true, "protected_target",
                "secure, credential or verification surface blocked");
  EXPECT_NO_THROW(probeExact(ident, false));

  loadNotes(
      "Draft",
      Json::array({{{"role", "AXGroup"},
                    {"children", {{{"role", "AXTextField"}, {"subrole", "AXSecureTextField"}}}}}}));
  ident = test::identOf(TARGET_PID, TARGET_WINDOW);
  expectFailure(ident, true, true, "protected_target",
                "secure, credential or verification surface blocked (ax-password)");
  EXPECT_NO_THROW(probeExact(ident, true, false));
}

TEST_F(ProbeTest, SurfaceInspectionNeedsTheAccessibilityWindow) {
  test::loadDesktop(
      {{"apps", {appEntry(TARGET_PID, "notes")}},
       {"windows", {windowRow(TARGET_WINDOW, TARGET_PID, "Draft", {0, 0, 500, 400})}}});
  Ident ident = test::identOf(TARGET_PID, TARGET_WINDOW);
  expectFailure(ident, true, true, "ax_unavailable", "Accessibility window unavailable");
  EXPECT_EQ(probeExact(ident, true, false).title, "Draft");
}

TEST_F(ProbeTest, HitTestAtTheCentreAndFloatingPanels) {
  loadNotes();
  Ident ident = test::identOf(TARGET_PID, TARGET_WINDOW);
  // Window 101 spans 100..740 x 80..560, centre (420, 320).
  test::controlDesktop({{"op", "add-app"}, {"app", appEntry(9004300, "other")}});
  test::controlDesktop(
      {{"op", "add-window"}, {"window", windowRow(300, 9004300, "Corner", {600, 450, 300, 300})}});
  ProbeData corner = probeExact(ident, true);
  EXPECT_TRUE(corner.hitOwn);
  EXPECT_FALSE(corner.foreground);
  test::controlDesktop({{"op", "move"}, {"number", 300}, {"bounds", {400, 300, 50, 50}}});
  ProbeData covered = probeExact(ident, true);
  EXPECT_FALSE(covered.hitOwn);
  EXPECT_TRUE(covered.occluded);

  // A floating panel (layer 3) is probed but is never in front or hit.
  Json panel = windowRow(TARGET_WINDOW, TARGET_PID, "Palette", {0, 0, 200, 200});
  panel["layer"] = 3;
  test::loadDesktop(
      {{"apps", {appEntry(TARGET_PID, "notes", {windowNode(TARGET_WINDOW, "Palette")})}},
       {"windows", {panel}}});
  ProbeData floating = probeExact(test::identOf(TARGET_PID, TARGET_WINDOW), true);
  EXPECT_FALSE(floating.foreground);
  EXPECT_FALSE(floating.hitOwn);
}

TEST_F(ProbeTest, LongTitlesAreCutForDisplayButFingerprintedInFull) {
  std::string title(299, 'a');
  title += "\xF0\x9F\x98\x80";  // one character of two UTF-16 units straddling the limit
  title += std::string(50, 'b');
  loadNotes(title);
  ProbeData probe = probeExact(test::identOf(TARGET_PID, TARGET_WINDOW), true);
  EXPECT_EQ(probe.title, std::string(299, 'a'));
  EXPECT_EQ(probe.titleFingerprint, titleFingerprint(title));
}

TEST_F(ProbeTest, CountsAChangeOfTheFrontWindowBeforeMeasuring) {
  loadNotes();
  std::int64_t before = foregroundEpoch().get();
  probeExact(test::identOf(TARGET_PID, TARGET_WINDOW), false);
  EXPECT_EQ(foregroundEpoch().get(), before + 1);  // 0 -> window 101
  probeExact(test::identOf(TARGET_PID, TARGET_WINDOW), false);
  EXPECT_EQ(foregroundEpoch().get(), before + 1);
}

}  // namespace
}  // namespace qcu
