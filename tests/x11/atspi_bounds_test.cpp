// The accessibility seam never answers from old facts and never waits past its bound: changes
// the application makes are seen by the next read, and a stopped application costs each call at
// most the messaging timeout without slowing anyone else.
#include <gtest/gtest.h>

#include <signal.h>

#include <future>
#include <thread>

#include "desktop/accessibility.h"
#include "desktop/x11/atspi_bus.h"
#include "foundation/errors.h"
#include "foundation/sync.h"
#include "observation/element.h"
#include "observation/surface.h"
#include "x11/atspi_support.h"

namespace qcu::test {
namespace {

using nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

double secondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

using AtspiFreshnessTest = AtspiTest;

// A button relabelled between two fingerprints changes the second, however soon it is taken.
TEST_F(AtspiFreshnessTest, RelabelBetweenTwoFingerprintsIsSeen) {
  addNodes(*app, json::array({{{"id", "f-send"}, {"role", "AXButton"}, {"title", "Send"}}}));
  const Ident ident{app->pid, "", app->windows[0]["xid"].get<std::uint32_t>()};
  CancelToken token;
  const std::string before = surfaceFingerprint(ident, token);
  EXPECT_EQ(surfaceFingerprint(ident, token), before) << "an unchanged window fingerprints alike";
  ASSERT_EQ(app->command({{"op", "set-attribute"},
                          {"node", "f-send"},
                          {"attribute", "AXTitle"},
                          {"value", "Sent"}})["ok"],
            true);
  EXPECT_NE(surfaceFingerprint(ident, token), before);
  // Reads right after a walk on the same thread see the change too.
  EXPECT_EQ(stringAttribute(*findElement(window, "f-send"), "AXTitle"), "Sent");
}

// An element stored by one walk and checked by another thread reads live, even while the walk's
// facts are young: a relabel or a role change fails the check.
TEST_F(AtspiFreshnessTest, StoredElementIsReadLiveByTheCheck) {
  addNodes(*app, json::array({{{"id", "f-ok"}, {"role", "AXButton"}, {"title", "OK"}},
                              {{"id", "f-go"}, {"role", "AXButton"}, {"title", "Go"}}}));
  auto entryOf = [&](const std::string& id) {
    ElementEntry entry;
    auto element = findElement(window, id);
    if (!element) throw std::runtime_error(id + " not found");
    entry.element = *element;
    entry.role = stringAttribute(entry.element, "AXRole").value_or("");
    entry.label = elementLabel(entry.element, entry.role);
    return entry;
  };
  auto checkElsewhere = [](const ElementEntry& entry) {
    return std::async(std::launch::async,
                      [&entry]() -> std::string {
                        try {
                          requireElementCurrent(entry);
                          return "current";
                        } catch (const SafeError& error) {
                          return error.code();
                        }
                      })
        .get();
  };
  const ElementEntry ok = entryOf("f-ok");
  ASSERT_EQ(ok.label, "OK");
  EXPECT_EQ(checkElsewhere(ok), "current");
  ASSERT_EQ(app->command({{"op", "set-attribute"},
                          {"node", "f-ok"},
                          {"attribute", "AXTitle"},
                          {"value", "Cancel"}})["ok"],
            true);
  EXPECT_EQ(checkElsewhere(ok), "stale_element");

  // The same id rebuilt as another kind of widget: the stored element no longer reads as a
  // button.
  const ElementEntry go = entryOf("f-go");
  ASSERT_EQ(app->command({{"op", "remove-node"}, {"node", "f-go"}})["ok"], true);
  ASSERT_EQ(
      app->command({{"op", "add-node"},
                    {"number", 1},
                    {"node", {{"id", "f-go"}, {"role", "AXCheckBox"}, {"title", "Go"}}}})["ok"],
      true);
  EXPECT_EQ(checkElsewhere(go), "stale_element");
}

class AtspiHangTest : public AtspiTest {
 protected:
  void TearDown() override {
    if (stopped > 0) kill(stopped, SIGCONT);
    AtspiTest::TearDown();
  }
  pid_t stopped = 0;
};

// A stopped application: each call ends within the messaging timeout, later calls to it fail at
// once, another application answers meanwhile as fast as ever, and the application is usable
// again soon after it continues.
TEST_F(AtspiHangTest, StoppedApplicationBoundsEachCallAndNoOneElse) {
  TestApp other = startTestApp();
  AXElement otherWindow = windowElementOf(other.pid);
  ASSERT_TRUE(stringAttribute(window, "AXTitle"));
  platformSetMessagingTimeout(0.5);

  ASSERT_EQ(kill(app->pid, SIGSTOP), 0);
  stopped = app->pid;
  auto start = SteadyClock::now();
  auto blocked = std::async(std::launch::async, [&] { return stringAttribute(window, "AXTitle"); });
  // While that call waits on the stopped application, the other one answers.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto otherStart = SteadyClock::now();
  EXPECT_EQ(stringAttribute(otherWindow, "AXTitle"), "Test application");
  EXPECT_LT(secondsSince(otherStart), 0.4) << "another application waited on the stopped one";
  EXPECT_FALSE(blocked.get()) << "a stopped application gave an answer";
  const double first = secondsSince(start);
  EXPECT_LT(first, 0.5 + 1.0) << "a call outlived the messaging timeout";

  // Every later read of the walk fails at once instead of each costing the timeout.
  start = SteadyClock::now();
  EXPECT_TRUE(axChildren(window).empty());
  EXPECT_FALSE(axFrame(window));
  EXPECT_FALSE(platformPerformAction(window, "AXRaise"));
  EXPECT_LT(secondsSince(start), 0.25) << "calls to the stopped application kept waiting";

  ASSERT_EQ(kill(app->pid, SIGCONT), 0);
  stopped = 0;
  EXPECT_TRUE(waitFor([&] { return stringAttribute(window, "AXTitle").has_value(); }))
      << "the application was not usable again after it continued";
}

// The messaging timeout bounds every call, lower or higher than the one start-up sets.
TEST_F(AtspiHangTest, MessagingTimeoutIsHonoured) {
  ASSERT_EQ(kill(app->pid, SIGSTOP), 0);
  stopped = app->pid;
  for (double timeout : {0.3, 2.0}) {
    platformSetMessagingTimeout(timeout);
    x11::atspi::resetCircuitsForTests();
    const auto start = SteadyClock::now();
    EXPECT_FALSE(platformCopyAttribute(window, "AXRole"));
    const double took = secondsSince(start);
    EXPECT_GE(took, timeout * 0.9) << "the call gave up before its timeout of " << timeout;
    EXPECT_LT(took, timeout + 1.0) << "the call outlived its timeout of " << timeout;
  }
}

}  // namespace
}  // namespace qcu::test
