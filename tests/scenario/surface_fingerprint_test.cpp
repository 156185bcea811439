// The surface fingerprint on the simulated desktop: what changes it, what it leaves out, and the
// bounds of its walk.
#include <gtest/gtest.h>

#include <string>

#include "foundation/clock.h"
#include "foundation/errors.h"
#include "observation/surface.h"
#include "support/harness.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using Json = nlohmann::json;
using test::TARGET_PID;

class SurfaceFingerprintTest : public test::DesktopTest {
 protected:
  Ident ident;
  CancelToken token;

  void loadWindow(const Json& children) {
    Json app = test::targetApp(children);
    app["attributes"] = {{"AXFocusedUIElement", {{"ref", "field"}}}};
    test::loadDesktop({{"apps", {app}}, {"windows", {test::targetRow()}}});
    ident = test::identOf(TARGET_PID, test::TARGET_WINDOW);
  }

  void SetUp() override {
    test::DesktopTest::SetUp();
    // The walk's time runs only when a test moves it on: however slow the machine, a walk is
    // never cut short by its time bound unless the test means it to be.
    holdClocksForTests();
    loadWindow(Json::array(
        {{{"id", "field"},
          {"role", "AXTextField"},
          {"value", "Hello"},
          {"attributes", {{"AXSelectedTextRange", {{"range", {5, 0}}}}}}},
         {{"id", "box"}, {"role", "AXCheckBox"}, {"title", "Wrap"}, {"value", 0}},
         {{"id", "notes"}, {"role", "AXTextArea"}, {"value", std::string(600, 'a')}},
         {{"id", "tab"}, {"role", "AXRadioButton"}, {"title", "One"}, {"selected", false}}}));
  }

  std::string fingerprint() { return surfaceFingerprint(ident, token); }

  static void setAttribute(const std::string& node, const std::string& name, const Json& value) {
    test::controlDesktop(test::setAttribute(TARGET_PID, node, name, value));
  }

  // Many plain elements c0, c1, ... under the window.
  static Json manyChildren(int count) {
    Json children = Json::array();
    for (int i = 0; i < count; ++i)
      children.push_back(
          {{"id", "c" + std::to_string(i)}, {"role", "AXStaticText"}, {"value", "v"}});
    children.push_back({{"id", "field"}, {"role", "AXTextField"}});
    return children;
  }
};

TEST_F(SurfaceFingerprintTest, StableWhenNothingChangesAndMovedByEveryVisibleChange) {
  const std::string first = fingerprint();
  EXPECT_EQ(first.size(), 64u);
  EXPECT_EQ(fingerprint(), first);

  std::string last = first;
  auto expectChanged = [&](const char* what) {
    const std::string now = fingerprint();
    EXPECT_NE(now, last) << what;
    last = now;
  };
  setAttribute("field", "AXSelectedTextRange", {{"range", {2, 0}}});
  expectChanged("caret moved");
  setAttribute("field", "AXValue", "Hello!");
  expectChanged("value changed");
  setAttribute("box", "AXValue", 1);
  expectChanged("check box toggled");
  setAttribute("tab", "AXSelected", true);
  expectChanged("selection changed");
  test::controlDesktop({{"op", "retitle"}, {"number", test::TARGET_WINDOW}, {"title", "Draft 2"}});
  expectChanged("window retitled");
}

TEST_F(SurfaceFingerprintTest, OnlyTheValuePrefixCounts) {
  const std::string before = fingerprint();
  setAttribute("notes", "AXValue", std::string(600, 'a') + "b");
  EXPECT_EQ(fingerprint(), before);
  setAttribute("notes", "AXValue", std::string(511, 'a') + "b");
  EXPECT_NE(fingerprint(), before);
}

TEST_F(SurfaceFingerprintTest, TheWalkCoversTheFirstNinetySixElementsBreadthFirst) {
  loadWindow(manyChildren(120));
  const std::string before = fingerprint();
  // Position 0 is the window, so c95 is the 97th element and lies outside the walk.
  setAttribute("c95", "AXValue", "changed");
  EXPECT_EQ(fingerprint(), before);
  setAttribute("c94", "AXValue", "changed");
  EXPECT_NE(fingerprint(), before);
}

TEST_F(SurfaceFingerprintTest, AWalkOutOfTimeCoversWhatItRead) {
  loadWindow(manyChildren(20));
  const std::string full = fingerprint();
  auto cutShort = [&] {
    // Time runs out part of the way through the walk: one read takes half a second.
    test::onCall("platformCopyAttribute", TARGET_PID, 40,
                 [] { advanceSteadyClockForTests(Seconds(0.5)); });
    return fingerprint();
  };
  const std::string partial = cutShort();
  EXPECT_NE(partial, full);
  setAttribute("c15", "AXValue", "changed");
  EXPECT_EQ(cutShort(), partial);
}

TEST_F(SurfaceFingerprintTest, AWallClockJumpDoesNotCutTheWalkShort) {
  loadWindow(manyChildren(20));
  const std::string full = fingerprint();
  test::onCall("platformCopyAttribute", TARGET_PID, 40, [] { advanceClockForTests(Seconds(60)); });
  EXPECT_EQ(fingerprint(), full);
}

TEST_F(SurfaceFingerprintTest, FailsForAClosedWindowAndStopsWhenCancelled) {
  test::onCall("platformCopyAttribute", TARGET_PID, 10, [this] { token.cancel(); });
  EXPECT_THROW(fingerprint(), CancelledError);

  test::controlDesktop({{"op", "close-window"}, {"number", test::TARGET_WINDOW}});
  test::expectSafeError([&] { surfaceFingerprint(ident, CancelToken()); }, "target_destroyed",
                        "window no longer exists");
}

}  // namespace
}  // namespace qcu
