#include "desktop/signals.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/sim_desktop.h"

namespace qcu {
namespace {

using nlohmann::json;
using test::controlDesktop;
using test::loadDesktop;

class InputEpochTest : public test::DesktopTest {};

TEST_F(InputEpochTest, MissingCounterIsAlwaysMinusOne) {
  loadDesktop({{"eventCounter", {{"available", false}, {"counts", {{"10", 7}}}}}});
  EXPECT_FALSE(inputCounterAvailable());
  EXPECT_EQ(userInputEpoch(), -1);
  controlDesktop({{"op", "input"}, {"types", {10, 11}}});
  EXPECT_EQ(userInputEpoch(), -1);
}

TEST_F(InputEpochTest, SumsTheTwelveCountedEventTypes) {
  loadDesktop({{"eventCounter", {{"counts", {{"1", 1}, {"26", 100}, {"27", 1000}}}}}});
  EXPECT_TRUE(inputCounterAvailable());
  std::int64_t before = userInputEpoch();
  EXPECT_EQ(before, 1);

  // Releasing the middle button or dragging with it alone changes nothing.
  controlDesktop({{"op", "input"}, {"types", {26, 27}}});
  EXPECT_EQ(userInputEpoch(), before);

  // A key press is a key down and a key up.
  controlDesktop({{"op", "input"}, {"types", {10, 11}}});
  EXPECT_EQ(userInputEpoch(), before + 2);

  for (int type : {1, 2, 3, 4, 5, 6, 7, 10, 11, 12, 22, 25}) {
    std::int64_t last = userInputEpoch();
    controlDesktop({{"op", "input"}, {"types", {type}}});
    EXPECT_EQ(userInputEpoch(), last + 1) << "event type " << type;
  }
}

TEST_F(InputEpochTest, CountsAddUpBeyondThirtyTwoBits) {
  loadDesktop({{"eventCounter", {{"counts", {{"5", 4294967295u}, {"22", 4294967295u}}}}}});
  EXPECT_EQ(userInputEpoch(), 2 * 4294967295LL);
}

class ScreenLockTest : public test::DesktopTest {
 protected:
  void TearDown() override {
    unsetenv("QUORVEL_CU_FORCE_NO_PERMISSIONS");
    DesktopTest::TearDown();
  }
  bool lockedWith(const json& session) {
    controlDesktop({{"op", "set-session"}, {"session", session}});
    return screenLocked();
  }
};

TEST_F(ScreenLockTest, SessionDictionaryRules) {
  EXPECT_FALSE(screenLocked());  // the default desktop: unlocked, on the console
  EXPECT_TRUE(lockedWith(nullptr));
  EXPECT_TRUE(lockedWith(json::array({1})));
  EXPECT_TRUE(lockedWith("locked?"));
  EXPECT_TRUE(lockedWith({{"CGSSessionScreenIsLocked", true}, {"kCGSSessionOnConsoleKey", true}}));
  EXPECT_FALSE(lockedWith(json::object()));
  EXPECT_TRUE(lockedWith({{"kCGSSessionOnConsoleKey", false}}));
  EXPECT_FALSE(lockedWith({{"kCGSSessionOnConsoleKey", true}}));
  EXPECT_FALSE(lockedWith({{"kCGSSessionOnConsoleKey", 0}}));
  EXPECT_FALSE(lockedWith({{"CGSSessionScreenIsLocked", 1}}));
  EXPECT_TRUE(
      lockedWith({{"CGSSessionScreenIsLocked", false}, {"kCGSSessionOnConsoleKey", false}}));
}

TEST_F(ScreenLockTest, ForcedOffPermissionsNeverReadLocked) {
  controlDesktop({{"op", "lock"}});
  EXPECT_TRUE(screenLocked());
  setenv("QUORVEL_CU_FORCE_NO_PERMISSIONS", "true", 1);
  EXPECT_TRUE(screenLocked());
  setenv("QUORVEL_CU_FORCE_NO_PERMISSIONS", "1", 1);
  EXPECT_FALSE(screenLocked());
  EXPECT_FALSE(lockedWith(nullptr));
}

class ProcessMetaTest : public test::DesktopTest {};

TEST_F(ProcessMetaTest, NamesComeFromTheRunningApplication) {
  loadDesktop(
      {{"processes", {{{"pid", 500}}}},
       {"apps",
        {{{"pid", 501},
          {"executablePath", "/Applications/Text Edit.app/Contents/MacOS/TextEdit"},
          {"localizedName", "TextEdit"},
          {"bundleIdentifier", "com.Example.TextEdit"}},
         {{"pid", 502}, {"localizedName", "Preview"}},
         {{"pid", 503}, {"executablePath", "/opt/tool/bin/"}, {"bundleIdentifier", "org.tool"}},
         {{"pid", 504}, {"executablePath", "/"}, {"localizedName", "Root"}}}}});

  ProcMeta daemon = processMeta(500);
  EXPECT_EQ(daemon.name, "");
  EXPECT_EQ(daemon.bundle, "");
  EXPECT_EQ(daemon.product, "");

  ProcMeta edit = processMeta(501);
  EXPECT_EQ(edit.name, "TextEdit");
  EXPECT_EQ(edit.bundle, "com.Example.TextEdit");  // as reported, not case-folded
  EXPECT_EQ(edit.product, "TextEdit");

  ProcMeta preview = processMeta(502);  // executable location unknown
  EXPECT_EQ(preview.name, "Preview");
  EXPECT_EQ(preview.product, "Preview");

  ProcMeta tool = processMeta(503);  // a trailing separator is not a component
  EXPECT_EQ(tool.name, "bin");
  EXPECT_EQ(tool.product, "");
  EXPECT_EQ(processMeta(504).name, "Root");

  // An application whose process has exited is not running.
  controlDesktop({{"op", "set-process"}, {"pid", 501}, {"alive", false}});
  EXPECT_EQ(processMeta(501).bundle, "");
  EXPECT_EQ(processMeta(999).name, "");
}

}  // namespace
}  // namespace qcu
