// The simulated desktop itself: its description format, control commands, control pipe and
// test hook, which every scenario test relies on.
#include "desktop/sim/sim.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "desktop/accessibility.h"
#include "desktop/procfs.h"
#include "desktop/signals.h"
#include "desktop/windows.h"
#include "support/harness.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using nlohmann::json;
using test::appEntry;
using test::controlDesktop;
using test::loadDesktop;
using test::windowNode;
using test::windowRow;

class SimDesktopTest : public test::DesktopTest {
 protected:
  std::vector<std::uint32_t> order() {
    std::vector<std::uint32_t> ids;
    for (const auto& rec : cgWindows())
      ids.push_back(rec.id);
    return ids;
  }
  AXElement window(std::int32_t pid, std::size_t index) {
    auto windows = axAttr(*platformApplicationElement(pid), "AXWindows");
    return std::get<std::vector<AXElement>>(*windows).at(index);
  }
};

TEST_F(SimDesktopTest, EmptyDesktopDefaults) {
  sim::reset();
  EXPECT_EQ(platformWindowList(), json::array());
  EXPECT_TRUE(platformAccessibilityTrusted());
  EXPECT_TRUE(platformScreenCaptureAllowed());
  EXPECT_EQ(userInputEpoch(), 0);
  EXPECT_FALSE(screenLocked());
  EXPECT_EQ(platformPasteboardChangeCount(), 0);
  EXPECT_TRUE(platformHasWindowNumberLookup());
  EXPECT_EQ(sim::messagingTimeoutSeconds(), 6.0);
  platformSetMessagingTimeout(1.0);
  EXPECT_EQ(sim::messagingTimeoutSeconds(), 1.0);
  platformSetMessagingTimeout(0);
  EXPECT_EQ(sim::messagingTimeoutSeconds(), 6.0);
}

TEST_F(SimDesktopTest, DescriptionErrorsNameThePlace) {
  struct Case {
    json description;
    std::string error;
  } cases[] = {
      {{{"windws", json::array()}}, "windws: unknown key"},
      {json::array(), "description: expected an object"},
      {{{"apps", {{{"pid", 1}, {"windows", {{{"window", "x"}}}}}}}},
       "apps[0].windows[0].window: expected an integer"},
      {{{"apps", {{{"pid", 1}, {"children", {{{"colour", 1}}}}}}}},
       "apps[0].children[0].colour: unknown key"},
      {{{"apps", {{{"pid", 1}, {"attributes", {{"AXFocusedUIElement", {{"ref", "nope"}}}}}}}}},
       "apps[0]: no element with id \"nope\" in this application"},
      {{{"apps", {{{"pid", 1}, {"children", {{{"id", "a"}}, {{"id", "a"}}}}}}}},
       "apps[0].children[1].id: duplicate id \"a\""},
      {{{"apps", {{{"pid", 1}, {"children", {{{"value", {{"colour", 1}}}}}}}}}},
       "apps[0].children[0].value.colour: unknown value type"},
      {{{"apps", {{{"pid", 0}}}}}, "apps[0].pid: out of range"},
      {{{"apps", {{{"pid", 1}, {"activation", "soon"}}}}}, "apps[0].activation: expected"},
      {{{"eventCounter", {{"counts", {{"ten", 1}}}}}}, "eventCounter.counts.ten: the key"},
  };
  for (const auto& c : cases) {
    std::string error = sim::load(c.description);
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
  }
  // A failed load leaves the empty desktop.
  ASSERT_EQ(sim::load({{"windows", {windowRow(1, 2, "A", {0, 0, 9, 9})}}}), "");
  EXPECT_NE(sim::load({{"windows", {windowRow(1, 2, "A", {0, 0, 9, 9})}}, {"x", 1}}), "");
  EXPECT_EQ(platformWindowList(), json::array());
}

TEST_F(SimDesktopTest, PlatformInitTakesOnlyItsOwnOptions) {
  std::string path = ::testing::TempDir() + "sim-desktop-test.json";
  std::ofstream(path) << json{{"windows", {windowRow(7, 2, "From file", {0, 0, 50, 50})}}}.dump();
  std::string program = "helper";
  std::string ownerPid = "--owner-pid";
  std::string desktopOption = "--sim-desktop";
  char* argv[] = {program.data(), ownerPid.data(), desktopOption.data(), path.data()};
  ASSERT_TRUE(platformInit(4, argv));
  ASSERT_EQ(cgWindows().size(), 1u);
  EXPECT_EQ(cgWindows()[0].name, "From file");

  std::ofstream(path) << "{\"windows\": [";
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(platformInit(4, argv));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "simulated desktop: " + path + ": not valid JSON\n");

  std::ofstream(path) << R"({"apps": [{"pid": "x"}]})";
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(platformInit(4, argv));
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("apps[0].pid: expected an integer"),
            std::string::npos);
  std::remove(path.c_str());

  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(platformInit(3, argv));  // --sim-desktop without a value
  std::string control = "--sim-control";
  std::string notFd = "12x";
  char* badControl[] = {program.data(), control.data(), notFd.data()};
  EXPECT_FALSE(platformInit(3, badControl));
  std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(errors.find("--sim-desktop needs a value"), std::string::npos);
  EXPECT_NE(errors.find("--sim-control 12x is not an open file descriptor"), std::string::npos);
}

TEST_F(SimDesktopTest, ControlPipeAppliesCommandsInOrderAndReplies) {
  loadDesktop({{"windows", {windowRow(1, 2, "Old", {0, 0, 50, 50})}}});
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  sim::startControl(fds[1]);
  std::string commands = R"({"op":"retitle","number":1,"title":"New","id":7})"
                         "\n\nnot json\n"
                         R"({"op":"retitle","number":9,"title":"x"})"
                         "\n"
                         R"({"op":"bump-pasteboard"})"
                         "\n";
  ASSERT_EQ(write(fds[0], commands.data(), commands.size()), static_cast<ssize_t>(commands.size()));
  std::string replies;
  char buffer[4096];
  while (std::count(replies.begin(), replies.end(), '\n') < 4) {
    pollfd readable{fds[0], POLLIN, 0};
    ASSERT_EQ(poll(&readable, 1, 10000), 1) << "no reply within 10 s after: " << replies;
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    replies.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  std::vector<json> lines;
  for (std::size_t start = 0, end; (end = replies.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(json::parse(replies.substr(start, end - start)));
  }
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], (json{{"id", 7}, {"ok", true}}));
  EXPECT_EQ(lines[1], (json{{"ok", false}, {"error", "command: not valid JSON"}}));
  EXPECT_EQ(lines[2], (json{{"ok", false}, {"error", "command.number: no window numbered 9"}}));
  EXPECT_EQ(lines[3], (json{{"ok", true}}));
  EXPECT_EQ(cgWindows().at(0).name, "New");
  EXPECT_EQ(platformPasteboardChangeCount(), 1);
}

TEST_F(SimDesktopTest, SimulatedProcessesLiveBesideRealOnes) {
  loadDesktop({{"processes",
                {{{"pid", 300}, {"startSeconds", 1600000000}, {"startMicroseconds", 250}},
                 {{"pid", 301}, {"startReadable", false}},
                 {{"pid", 302}, {"alive", false}}}}});
  EXPECT_EQ(processStart100ns(300), 16000000000000000ull + 2500);
  EXPECT_TRUE(platformProcessAlive(301));
  EXPECT_FALSE(processStart100ns(301));
  EXPECT_FALSE(platformProcessAlive(302));
  EXPECT_FALSE(processStart100ns(302));

  // Pids the desktop does not describe are real processes.
  auto own = platformProcessStart(getpid());
  auto real = procfsProcessStart(getpid());
  ASSERT_TRUE(own && real);
  EXPECT_EQ(own->seconds, real->seconds);
  EXPECT_EQ(own->microseconds, real->microseconds);
  EXPECT_TRUE(platformProcessAlive(getpid()));

  // A reused pid: same number, another start.
  controlDesktop({{"op", "set-process"}, {"pid", 300}, {"startSeconds", 1600000001}});
  EXPECT_EQ(processStart100ns(300), 16000000010000000ull + 2500);
}

TEST_F(SimDesktopTest, ActivationHonouredIgnoredRefusedOrLate) {
  json apps = {appEntry(10, "A"), appEntry(11, "B"), appEntry(12, "C"), appEntry(13, "D")};
  apps[1]["activation"] = "ignored";
  apps[2]["activation"] = "refused";
  apps[3]["activation"] = "late";
  apps[3]["activationDelay"] = 600;
  json menuBar = windowRow(99, 1, "Menu", {0, 0, 1000, 20});
  menuBar["layer"] = 25;
  loadDesktop(
      {{"apps", apps},
       {"windows",
        {menuBar, windowRow(1, 10, "A1", {0, 0, 50, 50}), windowRow(2, 11, "B1", {0, 0, 50, 50}),
         windowRow(3, 12, "C1", {0, 0, 50, 50}), windowRow(4, 13, "D1", {0, 0, 50, 50}),
         windowRow(5, 10, "A2", {0, 0, 50, 50}), windowRow(6, 13, "D2", {0, 0, 50, 50})}}});

  EXPECT_TRUE(platformActivateApplication(11));
  EXPECT_FALSE(platformActivateApplication(12));
  EXPECT_FALSE(platformActivateApplication(77));
  EXPECT_EQ(order(), (std::vector<std::uint32_t>{99, 1, 2, 3, 4, 5, 6}));

  // A late activation is accepted at once and happens after its delay: not within the ten
  // minutes of the first request, but once the fifth of a second of the second has passed. The
  // application's windows come forward together, behind higher layers.
  EXPECT_TRUE(platformActivateApplication(13));
  EXPECT_EQ(order(), (std::vector<std::uint32_t>{99, 1, 2, 3, 4, 5, 6}));
  test::controlDesktop({{"op", "set-app"}, {"pid", 13}, {"activationDelay", 0.2}});
  EXPECT_TRUE(platformActivateApplication(13));
  const std::vector<std::uint32_t> activated{99, 4, 6, 1, 2, 3, 5};
  test::waitUntil([&] { return order() == activated; }, "the late activation");

  EXPECT_TRUE(platformActivateApplication(10));
  EXPECT_EQ(order(), (std::vector<std::uint32_t>{99, 1, 5, 4, 6, 2, 3}));
}

TEST_F(SimDesktopTest, HookChangesWhatTheCallSees) {
  loadDesktop({{"apps", {appEntry(test::TARGET_PID, "Notes", {windowNode(1, "Before")})}},
               {"windows", {windowRow(1, test::TARGET_PID, "Before", {0, 0, 300, 200})}}});
  AXElement element = window(test::TARGET_PID, 0);
  test::onCall("platformCopyAttribute", test::TARGET_PID, 2, [] {
    controlDesktop({{"op", "retitle"}, {"number", 1}, {"title", "After"}});
    cgWindows();  // the hook's own platform calls don't run it again
  });
  EXPECT_EQ(axString(element, "AXTitle"), "Before");
  EXPECT_EQ(axString(element, "AXTitle"), "After");
  EXPECT_EQ(cgWindows().at(0).name, "After");
  sim::setHook({});
}

TEST_F(SimDesktopTest, WindowElementsFollowTheirRows) {
  loadDesktop({{"apps", {appEntry(test::TARGET_PID, "Notes", {windowNode(1, "Doc")})}},
               {"windows", {windowRow(1, test::TARGET_PID, "Doc", {10, 20, 300, 200})}}});
  AXElement element = window(test::TARGET_PID, 0);
  EXPECT_EQ(platformWindowNumberOfElement(element), 1u);
  controlDesktop({{"op", "move"}, {"number", 1}, {"bounds", {40, 50, 320, 210}}});
  auto frame = axFrame(element);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->x, 40);
  EXPECT_EQ(frame->height, 210);
  auto found = axWindowElement(cgWindows().at(0));
  ASSERT_TRUE(found);
  EXPECT_TRUE(platformSameElement(*found, element));

  controlDesktop({{"op", "set-window-number-lookup"}, {"available", false}});
  EXPECT_FALSE(platformWindowNumberOfElement(element));
  controlDesktop({{"op", "remove-window"}, {"number", 1}});
  EXPECT_FALSE(axFrame(element));
}

TEST_F(SimDesktopTest, TypedValuesReferencesAndSetting) {
  json field = {{"id", "name"},
                {"role", "AXTextField"},
                {"value", "Ann"},
                {"settable", {"AXValue"}},
                {"actions", {"AXConfirm"}},
                {"attributes",
                 {{"AXSelectedTextRange", {{"range", {1, 2}}}},
                  {"AXLinked", {{"refs", {"name", "gone"}}}},
                  {"AXOpaque", {{"other", true}}}}}};
  json gone = {{"id", "gone"}, {"role", "AXStaticText"}};
  json app = appEntry(test::TARGET_PID, "Notes", {windowNode(1, "Doc", {field, gone})});
  app["attributes"] = {{"AXFocusedUIElement", {{"ref", "name"}}}};
  loadDesktop({{"apps", {app}}});

  auto focused = axAttr(*platformApplicationElement(test::TARGET_PID), "AXFocusedUIElement");
  ASSERT_TRUE(focused && std::holds_alternative<AXElement>(*focused));
  AXElement element = std::get<AXElement>(*focused);
  EXPECT_EQ(axString(element, "AXValue"), "Ann");
  auto range = std::get<TextRange>(*axAttr(element, "AXSelectedTextRange"));
  EXPECT_EQ(range.location, 1);
  EXPECT_EQ(range.length, 2);
  EXPECT_TRUE(std::holds_alternative<AXOther>(*axAttr(element, "AXOpaque")));
  auto parent = std::get<AXElement>(*axAttr(element, "AXParent"));
  EXPECT_TRUE(platformSameElement(parent, window(test::TARGET_PID, 0)));

  controlDesktop({{"op", "remove-node"}, {"pid", test::TARGET_PID}, {"node", "gone"}});
  EXPECT_EQ(std::get<std::vector<AXElement>>(*axAttr(element, "AXLinked")).size(), 1u);

  EXPECT_TRUE(platformSetAttribute(element, "AXValue", AXValue{std::string("Bob")}));
  EXPECT_EQ(axString(element, "AXValue"), "Bob");
  EXPECT_FALSE(platformSetAttribute(element, "AXTitle", AXValue{std::string("x")}));
  EXPECT_TRUE(platformPerformAction(element, "AXConfirm"));
  EXPECT_FALSE(platformPerformAction(element, "AXPress"));

  json reply = sim::control({{"op", "set-attribute"},
                             {"pid", test::TARGET_PID},
                             {"node", "name"},
                             {"attribute", "AXTitleUIElement"},
                             {"value", {{"ref", "gone"}}}});
  EXPECT_EQ(reply["error"], "command.value: no element with id \"gone\" in this application");
}

}  // namespace
}  // namespace qcu
