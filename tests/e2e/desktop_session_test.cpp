// The real helper on a virtual desktop with the GTK test application, through its pipes as an
// owner drives it: what the candidate list shows of real windows, bringing a window to the
// front, and the events the monitor sends when the desktop changes under a bound window.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process/child.h"
#include "support/vdesk.h"

namespace qcu::test {
namespace {

using nlohmann::json;

// Runs a shell command on the desktop and returns its standard output; fails the test when it
// does not end with status 0.
std::string shell(const std::string& command) {
  Child run = spawnChild("/bin/sh", {"-c", command});
  std::string out = run.drainOut(30);
  auto status = run.waitExit(10);
  EXPECT_EQ(status, 0) << command << ": " << run.drainErr(1);
  return out;
}

// The number after "label" in xwininfo's or xprop's output.
long numberAfter(const std::string& text, const std::string& label) {
  auto at = text.find(label);
  if (at == std::string::npos) return -1;
  return std::stol(text.substr(at + label.size()), nullptr, 0);  // decimal, or 0x... hex
}

// The frame of a client window as the X server and the window manager describe it: the client's
// absolute geometry grown by the manager's _NET_FRAME_EXTENTS.
json frameOf(long xid) {
  std::string id = std::to_string(xid);
  std::string info = shell("xwininfo -id " + id);
  std::string extents = shell("xprop -id " + id + " _NET_FRAME_EXTENTS");
  long left = 0, right = 0, top = 0, bottom = 0;
  auto equals = extents.find('=');
  if (equals != std::string::npos) {
    std::istringstream in(extents.substr(equals + 1));
    char comma = 0;
    in >> left >> comma >> right >> comma >> top >> comma >> bottom;
  }
  return {{"left", numberAfter(info, "Absolute upper-left X:") - left},
          {"top", numberAfter(info, "Absolute upper-left Y:") - top},
          {"width", numberAfter(info, "Width:") + left + right},
          {"height", numberAfter(info, "Height:") + top + bottom}};
}

long activeWindow() {
  return numberAfter(shell("xprop -root _NET_ACTIVE_WINDOW"), "window id # ");
}

// The helper, owned by this test process, on the virtual desktop, after its hello.
struct RealHelper {
  Child child;
  std::vector<json> events;
  int next = 0;

  RealHelper() : child(spawnOwnedHelper(QCU_HELPER_REAL)) {
    json hello = ask("hello", {{"protocolVersion", 1}});
    EXPECT_EQ(hello["ok"], true) << hello;
  }
  json ask(const std::string& type, const json& fields = json::object(), double timeout = 20) {
    return test::ask(child, type, type + "-" + std::to_string(++next), fields, events, timeout);
  }
  // The candidate of the window with this number (null when it is not listed) and the listing.
  json candidate(long number, json* listing = nullptr) {
    json listed = ask("list_candidates");
    if (listing) *listing = listed;
    for (const json& c : listed.value("candidates", json::array()))
      if (c["identity"]["hwnd"] == std::to_string(number)) return c;
    return nullptr;
  }
  // The candidate once the window is listed: a new window's accessible frame may appear a
  // moment after the window itself.
  json waitForCandidate(long number, double timeout = 20) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    json c = candidate(number);
    while (c.is_null() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      c = candidate(number);
    }
    return c;
  }
  // Binds the window with this number and brings it to the front.
  json bindAndFocus(long number) {
    json c = waitForCandidate(number);
    EXPECT_FALSE(c.is_null()) << "window " << number << " is not a candidate";
    if (c.is_null()) return c;
    json bound = ask("probe_binding",
                     {{"identity", c["identity"]}, {"candidateToken", c["candidateToken"]}});
    EXPECT_EQ(bound["ok"], true) << bound;
    json focused = ask("focus_binding", {{"identity", c["identity"]}});
    EXPECT_EQ(focused["ok"], true) << focused;
    EXPECT_EQ(focused["probe"]["foreground"], true) << focused;
    return c;
  }
  // The first event of this type, read from what came meanwhile or from the helper.
  std::optional<json> event(const std::string& type, double timeout = 20) {
    auto isIt = [&](const json& m) { return m["type"] == "event" && m["event"]["type"] == type; };
    for (const json& m : events)
      if (isIt(m)) return m;
    std::vector<json> others;
    auto found = readUntil(child, isIt, others, timeout);
    events.insert(events.end(), others.begin(), others.end());
    return found;
  }
};

class DesktopSession : public ::testing::Test {
 public:
  TestApp app = startTestApp({"--fixture", fixturePath("form.json")});
  long first = app.windows.at(0).at("xid").get<long>();
  long second = app.command({{"op", "open-window"},
                             {"number", 102},
                             {"title", "Second window"},
                             {"bounds", {700, 300, 400, 300}}})["window"]["xid"]
                    .get<long>();
  RealHelper helper;
};

TEST_F(DesktopSession, CandidatesAreTheApplicationWindowsWithTheirFrames) {
  for (long xid : {first, second}) {
    json c = helper.waitForCandidate(xid);
    ASSERT_FALSE(c.is_null()) << "window " << xid << " is not a candidate";
    EXPECT_EQ(c["identity"]["pid"], app.pid) << c;
    EXPECT_EQ(c["geometry"], frameOf(xid)) << c;
  }
}

TEST_F(DesktopSession, ProtectedApplicationsAndSignInTitlesAreNotCandidates) {
  Child xterm = spawnChild("/usr/bin/xterm", {"-title", "Plain terminal"});
  app.command({{"op", "retitle"}, {"number", 102}, {"title", "Sign in"}});
  waitForWindowsWhere(app.pid, "the sign-in title", [](const json& windows) {
    for (const json& w : windows)
      if (w["title"] == "Sign in") return true;
    return false;
  });
  ASSERT_FALSE(helper.waitForCandidate(first).is_null()) << "the plain window is a candidate";
  json listing;
  EXPECT_TRUE(helper.candidate(second, &listing).is_null()) << listing;
  for (int tries = 0; tries < 100 && !listing["skipped"].contains("blocked-application"); ++tries) {
    helper.candidate(first, &listing);  // the terminal may still be starting
  }
  EXPECT_EQ(listing["skipped"]["blocked-application"], 1) << listing;
  EXPECT_EQ(listing["skipped"]["secure-title-marker"], 1) << listing;
  EXPECT_FALSE(helper.candidate(first).is_null()) << "the plain window stays a candidate";
  kill(xterm.pid, SIGTERM);
  xterm.waitExit(10);
}

TEST_F(DesktopSession, FocusBringsABackgroundWindowToTheFront) {
  shell("xdotool windowactivate --sync " + std::to_string(second));
  ASSERT_EQ(activeWindow(), second);
  helper.bindAndFocus(first);
  EXPECT_EQ(activeWindow(), first);
}

// What happens to the bound window in front, and the event the monitor must send for it.
struct Change {
  const char* name;
  const char* event;
  std::function<void(DesktopSession&, long other)> act;
};

void PrintTo(const Change& change, std::ostream* out) {
  *out << change.name;
}

class MonitorEvent : public DesktopSession, public ::testing::WithParamInterface<Change> {};

TEST_P(MonitorEvent, FiresForTheBoundWindow) {
  json bound = helper.bindAndFocus(first);
  ASSERT_FALSE(bound.is_null());
  // The monitor must have seen the window in front before it can see it lose the front.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  helper.events.clear();
  GetParam().act(*this, second);
  auto event = helper.event(GetParam().event);
  ASSERT_TRUE(event.has_value()) << "no " << GetParam().event << " event";
  EXPECT_EQ((*event)["event"]["identity"], bound["identity"]);
}

INSTANTIATE_TEST_SUITE_P(
    RealDesktop, MonitorEvent,
    ::testing::Values(Change{"UserClick", "hardware-input",
                             [](DesktopSession&, long) { shell("xdotool mousemove 3 3 click 1"); }},
                      Change{"AnotherWindowActivated", "focus-lost",
                             [](DesktopSession&, long other) {
                               shell("xdotool windowactivate --sync " + std::to_string(other));
                             }},
                      Change{"WindowClosed", "target-destroyed",
                             [](DesktopSession& session, long) {
                               session.app.command({{"op", "close-window"}, {"number", 101}});
                             }},
                      Change{"ScreenSaverActivated", "screen-locked",
                             [](DesktopSession&, long) { shell("xset s activate"); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qcu::test
