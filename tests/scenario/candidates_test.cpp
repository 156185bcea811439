// "list_candidates" on the simulated desktop: what is listed, what is left out silently, what
// is counted and under which key, and the count, time and size bounds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <regex>
#include <string>

#include "desktop/platform.h"
#include "foundation/text.h"
#include "session/state.h"
#include "support/harness.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using test::appEntry;
using test::Json;
using test::windowNode;
using test::windowRow;

class CandidateListing : public test::HelperTest {
 protected:
  static Json list() { return test::ask("list_candidates"); }

  static std::size_t leaseCount() {
    std::lock_guard<std::recursive_mutex> guard(state().lock);
    return state().leases.size();
  }

  int requests_ = 0;
};

// The bounds of the ith window, each a little below and right of the one before.
Rect rowBounds(int i) {
  return Rect{20.0 + i, 40.0 + i, 400, 300};
}

TEST_F(CandidateListing, DescribesEachWindowFrontToBackWithAFreshLease) {
  Json mail = appEntry(9004501, "Mail", {{{"window", 201}, {"subrole", "AXStandardWindow"}}});
  mail["localizedName"] = nullptr;
  mail["executablePath"] = nullptr;
  Json inboxRow = windowRow(201, 9004501, "Inbox", rowBounds(1));
  inboxRow["owner"] = "Mail\nServer";
  test::loadDesktop(
      {{"apps", {appEntry(9004500, "Notes", {windowNode(101, "ignored")}), mail}},
       {"windows",
        {windowRow(101, 9004500, "  Draft   one ", Rect{10.5, 20, 640.4, 480}), inboxRow}}});
  Json answer = list();
  ASSERT_EQ(answer["ok"], true) << answer;
  EXPECT_EQ(answer["type"], "list_candidates");
  EXPECT_EQ(answer["skipped"], Json::object());
  EXPECT_TRUE(answer["listingMs"].is_number_integer());
  const Json& candidates = answer["candidates"];
  ASSERT_EQ(candidates.size(), 2u);

  const Json& notes = candidates[0];
  EXPECT_TRUE(std::regex_match(notes["candidateToken"].get<std::string>(),
                               std::regex("candidate-lease:[0-9a-f]{24}")));
  EXPECT_EQ(notes["identity"], test::identOf(9004500, 101).object());
  EXPECT_EQ(notes["processName"], "Notes");
  EXPECT_EQ(notes["title"], "Draft one");
  EXPECT_EQ(notes["titleFingerprint"], titleFingerprint("Draft one"));
  EXPECT_EQ(notes["geometry"], Json({{"left", 11}, {"top", 20}, {"width", 640}, {"height", 480}}));
  EXPECT_EQ(notes["visible"], true);
  EXPECT_EQ(notes["foreground"], true);
  EXPECT_EQ(notes["elevated"], false);
  EXPECT_EQ(notes["protectedProcess"], false);
  EXPECT_EQ(notes["secureSurface"], false);
  EXPECT_EQ(notes["topLevelClassName"], "AXWindow");
  EXPECT_EQ(notes["productName"], "Notes");

  // Without an executable or display name the window server's owner name is shown, and there
  // is no "productName"; a subrole names the class.
  const Json& inbox = candidates[1];
  EXPECT_EQ(inbox["foreground"], false);
  EXPECT_EQ(inbox["processName"], "Mail Server");
  EXPECT_EQ(inbox["topLevelClassName"], "AXStandardWindow");
  EXPECT_FALSE(inbox.contains("productName"));

  {
    std::lock_guard<std::recursive_mutex> guard(state().lock);
    ASSERT_EQ(state().leases.size(), 2u);
    const Lease& lease = state().leases.at(notes["candidateToken"]);
    EXPECT_EQ(lease.identity, test::identOf(9004500, 101));
    EXPECT_EQ(lease.title, "Draft one");
    EXPECT_EQ(lease.titleFingerprint, titleFingerprint("Draft one"));
    double ttl = std::chrono::duration<double>(lease.expires - wallNow()).count();
    EXPECT_GT(ttl, 25);
    EXPECT_LE(ttl, 30);
  }

  // The next listing replaces every lease, with new tokens for the same windows.
  Json again = list();
  ASSERT_EQ(again["candidates"].size(), 2u);
  EXPECT_NE(again["candidates"][0]["candidateToken"], notes["candidateToken"]);
  std::lock_guard<std::recursive_mutex> guard(state().lock);
  EXPECT_EQ(state().leases.size(), 2u);
  EXPECT_FALSE(state().leases.contains(notes["candidateToken"]));
  EXPECT_FALSE(state().leases.contains(inbox["candidateToken"]));
}

TEST_F(CandidateListing, SilentFiltersLeaveNoTrace) {
  // Every ignored row belongs to an application that would otherwise be counted as blocked.
  const auto self = static_cast<std::int32_t>(::getpid());
  Json owner = appEntry(9004511, "Quorvel", {windowNode(301, "Assistant")});
  test::loadDesktop({{"apps",
                      {appEntry(9004510, "Terminal"), owner,
                       appEntry(9004512, "Notes", {windowNode(101, "Draft")})}},
                     {"windows",
                      {windowRow(401, 9004510, "Narrow", Rect{0, 0, 39, 300}),
                       windowRow(402, 9004510, "Short", Rect{0, 0, 300, 39.9}),
                       {{"number", 403},
                        {"pid", 9004510},
                        {"title", "Menu"},
                        {"layer", 25},
                        {"bounds", {0, 0, 300, 300}}},
                       {{"number", 404},
                        {"pid", 9004510},
                        {"title", "Clear"},
                        {"alpha", 0.0},
                        {"bounds", {0, 0, 300, 300}}},
                       {{"number", 405},
                        {"pid", 9004510},
                        {"title", "Faint"},
                        {"alpha", 0.01},
                        {"bounds", {0, 0, 300, 300}}},
                       windowRow(301, 9004511, "Assistant", rowBounds(1)),
                       windowRow(406, self, "Myself", rowBounds(2)),
                       windowRow(101, 9004512, "Draft", Rect{0, 0, 40, 40})}}});
  ownerPidValue().set(9004511);
  Json answer = list();
  EXPECT_EQ(answer["skipped"], Json::object());
  ASSERT_EQ(answer["candidates"].size(), 1u);
  EXPECT_EQ(answer["candidates"][0]["title"], "Draft");
  // A 40-point window is the smallest listed one; the owner's own windows never are.
  EXPECT_EQ(answer["candidates"][0]["foreground"], false);
}

TEST_F(CandidateListing, CountsEachRefusalUnderItsFirstReason) {
  Json password = {{"role", "AXSecureTextField"}};
  Json many = Json::array();
  for (int i = 0; i < 64; ++i)
    many.push_back({{"role", "AXStaticText"}});
  test::loadDesktop(
      {{"processes", {{{"pid", 9004520}, {"startReadable", false}}}},
       {"apps",
        {appEntry(9004520, "Ghost", {windowNode(501, "Ghost")}), appEntry(9004521, "Terminal"),
         appEntry(9004522, "Notes", {windowNode(502, ""), windowNode(503, "Sign in to Example")}),
         appEntry(9004523, "Editor"),
         appEntry(9004524, "Ledger", {windowNode(504, "Accounts", {password})}),
         appEntry(9004525, "Big", {windowNode(505, "Catalogue", many)}),
         appEntry(9004526, "Small", {windowNode(506, "Fine", Json::array({many[0]}))})}},
       {"windows",
        {windowRow(501, 9004520, "Ghost", rowBounds(1)),
         windowRow(502, 9004522, "", rowBounds(2)),  // no title anywhere
         windowRow(510, 9004522, "   ",
                   rowBounds(3)),  // white space only: the element is not consulted
         windowRow(511, 9004521, "Shell", rowBounds(4)),
         windowRow(512, 9004521, "Sign in", rowBounds(5)),  // the application test comes first
         windowRow(503, 9004522, "Sign in to Example", rowBounds(6)),
         windowRow(513, 9004523, "Log in",
                   rowBounds(7)),  // the title test comes before the element test
         windowRow(514, 9004523, "Draft", rowBounds(8)),
         windowRow(504, 9004524, "Accounts", rowBounds(9)),
         windowRow(505, 9004525, "Catalogue", rowBounds(10)),
         windowRow(506, 9004526, "Fine", rowBounds(11))}}});
  Json answer = list();
  EXPECT_EQ(answer["skipped"], Json({{"no-process", 1},
                                     {"empty-title", 2},
                                     {"blocked-application", 2},
                                     {"secure-title-marker", 2},
                                     {"no-ax-window@Editor", 1},
                                     {"secure-ax-password@Ledger", 1},
                                     {"secure-ax-element-limit@Big", 1}}));
  ASSERT_EQ(answer["candidates"].size(), 1u);
  EXPECT_EQ(answer["candidates"][0]["title"], "Fine");
}

TEST_F(CandidateListing, HoldsAtMostThirtyTwoSkipKeys) {
  Json apps = Json::array();
  Json windows = Json::array();
  char name[16];
  for (int i = 0; i < 40; ++i) {
    std::snprintf(name, sizeof name, "App%02d", i);
    apps.push_back(appEntry(4600 + i, name));
    windows.push_back(windowRow(600 + i, 4600 + i, "Window", rowBounds(i)));
  }
  // Behind them: a repeat of the first key and a new reason.
  apps.push_back(appEntry(4700, "Terminal"));
  windows.push_back(windowRow(700, 4600, "Another", rowBounds(41)));
  windows.push_back(windowRow(701, 4700, "Shell", rowBounds(42)));
  test::loadDesktop({{"apps", apps}, {"windows", windows}});
  Json skipped = list()["skipped"];
  EXPECT_EQ(skipped.size(), 32u);
  EXPECT_EQ(skipped["no-ax-window@App00"], 2);
  EXPECT_EQ(skipped["no-ax-window@App31"], 1);
  EXPECT_FALSE(skipped.contains("no-ax-window@App32"));
  EXPECT_FALSE(skipped.contains("blocked-application"));
}

TEST_F(CandidateListing, LineBreaksInNamesShowAsSpaces) {
  Json jotter = appEntry(4801, "Jot\r\nter", {windowNode(802, "x")});
  const std::string longName(50, 'n');
  test::loadDesktop({{"apps", {appEntry(4800, "Note\nPad"), jotter, appEntry(4802, longName)}},
                     {"windows",
                      {windowRow(801, 4800, "Draft", rowBounds(1)),
                       windowRow(802, 4801, "Line one\nLine two", rowBounds(2)),
                       windowRow(803, 4802, "Draft", rowBounds(3))}}});
  Json answer = list();
  EXPECT_EQ(answer["skipped"],
            Json({{"no-ax-window@Note Pad", 1}, {"no-ax-window@" + std::string(40, 'n'), 1}}));
  ASSERT_EQ(answer["candidates"].size(), 1u);
  const Json& entry = answer["candidates"][0];
  EXPECT_EQ(entry["processName"], "Jot  ter");
  EXPECT_EQ(entry["productName"], "Jot  ter");
  EXPECT_EQ(entry["title"], "Line one Line two");
}

TEST_F(CandidateListing, ReturnsAtMostOneHundredTwentyEightCandidates) {
  Json apps = Json::array();
  Json windows = Json::array();
  for (int app = 0; app < 20; ++app) {
    Json elements = Json::array();
    for (int w = 0; w < 10; ++w) {
      auto number = static_cast<std::uint32_t>(1000 + app * 10 + w);
      elements.push_back(windowNode(number, "w"));
      windows.push_back(
          windowRow(number, 5000 + app, "Window " + std::to_string(number), rowBounds(w)));
    }
    apps.push_back(appEntry(5000 + app, "App" + std::to_string(app), elements));
  }
  test::loadDesktop({{"apps", apps}, {"windows", windows}});
  Json answer = list();
  EXPECT_EQ(answer["skipped"], Json::object());
  ASSERT_EQ(answer["candidates"].size(), 128u);
  EXPECT_EQ(answer["candidates"][127]["title"], "Window 1127");
  EXPECT_EQ(leaseCount(), 128u);
}

TEST_F(CandidateListing, CutsAnOversizePayloadByTenths) {
  // 100 windows whose entries encode to about 70,000 bytes, behind 40 windows that fill the
  // skip keys: "response-size-limit" is counted beside them.
  Json apps = Json::array();
  Json windows = Json::array();
  for (int i = 0; i < 40; ++i) {
    apps.push_back(appEntry(5200 + i, "Plain" + std::to_string(i)));
    windows.push_back(windowRow(1200 + i, 5200 + i, "Window", rowBounds(i)));
  }
  Json elements = Json::array();
  for (int i = 0; i < 100; ++i) {
    auto number = static_cast<std::uint32_t>(1300 + i);
    elements.push_back(windowNode(number, "w"));
    std::string title = std::to_string(i) + " " + std::string(225, 'T');
    windows.push_back(windowRow(number, 5300, title, rowBounds(i)));
  }
  apps.push_back(appEntry(5300, "Writer", elements));
  test::loadDesktop({{"apps", apps}, {"windows", windows}});

  auto lines = [&] {
    test::sendRequest("list_candidates", "big-" + std::to_string(++requests_));
    return test::takeLines();
  }();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_LE(lines[0].size(), 65536u);
  Json answer = Json::parse(lines[0]);
  ASSERT_EQ(answer["candidates"].size(), 90u);
  EXPECT_EQ(answer["candidates"][89]["title"], "89 " + std::string(225, 'T'));
  EXPECT_EQ(answer["skipped"]["response-size-limit"], 1);
  EXPECT_EQ(answer["skipped"].size(), 33u);
  // Untrimmed, the payload would not have fitted; trimmed, it does.
  Json payload = {{"candidates", answer["candidates"]},
                  {"skipped", answer["skipped"]},
                  {"listingMs", answer["listingMs"]}};
  std::size_t trimmed = payload.dump().size();
  EXPECT_LE(trimmed, 65024u);
  EXPECT_GT(trimmed + 10 * answer["candidates"][0].dump().size(), 65024u);
  // The dropped candidates keep their leases.
  EXPECT_EQ(leaseCount(), 100u);

  // Longer titles need two rounds: 100, then 90, then 81.
  for (int i = 0; i < 100; ++i) {
    test::controlDesktop({{"op", "retitle"},
                          {"number", 1300 + i},
                          {"title", std::to_string(i) + " " + std::string(299, 'T')}});
  }
  Json longer = list();
  EXPECT_EQ(longer["candidates"].size(), 81u);
  EXPECT_EQ(longer["skipped"]["response-size-limit"], 2);
}

TEST_F(CandidateListing, ALongRequestIdLeavesLessRoomForThePayload) {
  // 160 user-perceived characters of 121 bytes each (a letter and 60 combining accents): the
  // envelope alone takes about 19,000 bytes, and the response must still fit in one message.
  Json elements = Json::array();
  Json windows = Json::array();
  for (int i = 0; i < 128; ++i) {
    auto number = static_cast<std::uint32_t>(1500 + i);
    elements.push_back(windowNode(number, "w"));
    windows.push_back(windowRow(number, 5400, std::string(280, 'T'), rowBounds(i)));
  }
  test::loadDesktop({{"apps", {appEntry(5400, "Writer", elements)}}, {"windows", windows}});
  std::string id;
  for (int i = 0; i < 160; ++i) {
    id += "a";
    for (int mark = 0; mark < 60; ++mark)
      id += "\xCC\x81";  // U+0301 COMBINING ACUTE ACCENT
  }
  test::sendRequest("list_candidates", id);
  auto lines = test::takeLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_LE(lines[0].size(), 65536u);
  Json answer = Json::parse(lines[0]);
  EXPECT_EQ(answer["ok"], true);
  EXPECT_EQ(answer["requestId"], id);
  EXPECT_GT(answer["skipped"]["response-size-limit"], 0);
}

TEST_F(CandidateListing, StopsWhenTheTwoSecondBudgetIsSpent) {
  // Every accessibility call of these applications takes 0.2 s, so each window costs well over
  // half a second.
  Json apps = Json::array();
  Json windows = Json::array();
  for (int i = 0; i < 10; ++i) {
    Json app = appEntry(5500 + i, "Slow" + std::to_string(i),
                        {windowNode(static_cast<std::uint32_t>(1600 + i), "w")});
    app["delay"] = 0.2;
    apps.push_back(app);
    windows.push_back(windowRow(1600 + i, 5500 + i, "Slow", rowBounds(i)));
  }
  test::loadDesktop({{"apps", apps}, {"windows", windows}});
  auto started = std::chrono::steady_clock::now();
  Json answer = list();
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(answer["skipped"]["listing-budget"], 1);
  std::int64_t seen = static_cast<std::int64_t>(answer["candidates"].size());
  for (const auto& [key, count] : answer["skipped"].items()) {
    if (key != "listing-budget") seen += count.get<std::int64_t>();
  }
  EXPECT_LT(seen, 10);
  EXPECT_GE(seconds, 2.0);
  EXPECT_LT(seconds, 6.0);
  EXPECT_GE(answer["listingMs"], 2000);
}

TEST_F(CandidateListing, MissingPermissionsKeepTheLeases) {
  test::loadDesktop({{"apps", {appEntry(5600, "Notes", {windowNode(101, "Draft")})}},
                     {"windows", {windowRow(101, 5600, "Draft", rowBounds(0))}}});
  ASSERT_EQ(list()["candidates"].size(), 1u);
  test::controlDesktop({{"op", "set-permissions"}, {"screenCapture", false}});
  Json refused = list();
  EXPECT_EQ(refused["code"], "screen_recording_not_granted");
  EXPECT_EQ(leaseCount(), 1u);
}

}  // namespace
}  // namespace qcu
