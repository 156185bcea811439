// Whole sessions through the simulated helper executable: the desktop comes from a description
// file and changes through the control socket while the owner talks to the helper.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "process/child.h"

namespace qcu::test {
namespace {

TEST(SimulatedSession, ListBindFocusAndTheWindowCloses) {
  Json description = {
      {"apps",
       {{{"pid", 9004242},
         {"executablePath", "/Applications/Notes.app/Contents/MacOS/Notes"},
         {"localizedName", "Notes"},
         {"bundleIdentifier", "com.example.notes"},
         {"windows", {{{"window", 101}, {"title", "Draft"}}}}},
        {{"pid", 9004343},
         {"executablePath", "/Applications/Mail.app/Contents/MacOS/Mail"},
         {"localizedName", "Mail"},
         {"bundleIdentifier", "com.example.mail"},
         {"windows", {{{"window", 201}, {"title", "Inbox"}}}}}}},
      {"windows",
       {{{"number", 201}, {"pid", 9004343}, {"title", "Inbox"}, {"bounds", {0, 0, 800, 600}}},
        {{"number", 101}, {"pid", 9004242}, {"title", "Draft"}, {"bounds", {100, 80, 640, 480}}}}}};
  SimHelper session(description);

  Json listing = session.ask("list_candidates", "l");
  ASSERT_EQ(listing["candidates"].size(), 2u) << listing;
  Json draft = listing["candidates"][1];
  EXPECT_EQ(draft["title"], "Draft");
  EXPECT_EQ(draft["foreground"], false);

  Json bound =
      session.ask("probe_binding", "p",
                  {{"identity", draft["identity"]}, {"candidateToken", draft["candidateToken"]}});
  ASSERT_EQ(bound["ok"], true) << bound;
  Json focused = session.ask("focus_binding", "f", {{"identity", draft["identity"]}});
  ASSERT_EQ(focused["ok"], true) << focused;
  EXPECT_EQ(focused["probe"]["foreground"], true);

  EXPECT_EQ(session.control.send({{"op", "close-window"}, {"number", 101}, {"id", 7}}),
            Json({{"id", 7}, {"ok", true}}));
  std::vector<Json> others;
  auto destroyed = readUntil(
      session.child, [](const Json& m) { return m["type"] == "event"; }, others);
  ASSERT_TRUE(destroyed.has_value());
  EXPECT_EQ((*destroyed)["event"]["type"], "target-destroyed");
  EXPECT_EQ((*destroyed)["event"]["detail"], "selected window is gone");
  EXPECT_EQ((*destroyed)["event"]["identity"], draft["identity"]);
  EXPECT_TRUE((*destroyed)["requestId"].get<std::string>().starts_with("event:"));
  EXPECT_TRUE(others.empty()) << others.size() << " unexpected messages";
  EXPECT_TRUE(session.events.empty()) << session.events.size() << " unexpected messages";

  // Once per disappearance: several ticks later, nothing more.
  EXPECT_FALSE(session.child.readMessage(0.6).has_value());
  session.child.closeInput();
  EXPECT_EQ(session.child.waitExit(10), 0);
}

TEST(SimulatedSession, ObserveCommitAClickAndShutDownWhileAnotherCommitRuns) {
  Json button = {{"id", "ok"},
                 {"role", "AXButton"},
                 {"title", "OK"},
                 {"actions", {"AXPress"}},
                 {"position", {200, 200}},
                 {"size", {80, 20}}};
  Json status = {{"id", "status"},
                 {"role", "AXStaticText"},
                 {"value", "idle"},
                 {"position", {200, 300}},
                 {"size", {200, 20}}};
  Json description = {
      {"apps",
       {{{"pid", 9004242},
         {"executablePath", "/Applications/Notes.app/Contents/MacOS/Notes"},
         {"localizedName", "Notes"},
         {"bundleIdentifier", "com.example.notes"},
         {"windows", {{{"window", 101}, {"title", "Draft"}, {"children", {button, status}}}}}}}},
      {"windows",
       {{{"number", 101}, {"pid", 9004242}, {"title", "Draft"}, {"bounds", {100, 80, 640, 480}}}}},
      {"effects",
       {{{"on", {{"press", {{"pid", 9004242}, {"node", "ok"}}}}},
         {"commands",
          {{{"op", "set-attribute"},
            {"pid", 9004242},
            {"node", "status"},
            {"attribute", "AXValue"},
            {"value", "saved"}}}}}}}};
  SimHelper session(description);

  Json listing = session.ask("list_candidates", "l");
  ASSERT_EQ(listing["candidates"].size(), 1u) << listing;
  Json identity = listing["candidates"][0]["identity"];
  Json bound = session.ask(
      "probe_binding", "p",
      {{"identity", identity}, {"candidateToken", listing["candidates"][0]["candidateToken"]}});
  ASSERT_EQ(bound["ok"], true) << bound;
  Json observed = session.ask("observe", "o", {{"identity", identity}});
  ASSERT_EQ(observed["ok"], true) << observed;
  std::string ref;
  for (const auto& element : observed["observation"]["elements"]) {
    if (element["label"] == "OK") ref = element["backendRef"];
  }
  ASSERT_FALSE(ref.empty()) << observed;

  // Press the button through the accessibility interface: the window shows the effect.
  Json prepared = session.ask("prepare_action", "a",
                              {{"attemptId", "run-1"},
                               {"identity", identity},
                               {"action", {{"kind", "click"}}},
                               {"resolvedElement", {{"backendRef", ref}}},
                               {"expected", bound["probe"]}});
  ASSERT_EQ(prepared["ok"], true) << prepared;
  EXPECT_EQ(prepared["method"], "uia");
  Json committed = session.ask("commit_action", "c",
                               {{"preparedId", prepared["preparedId"]}, {"attemptId", "run-1"}});
  ASSERT_EQ(committed["ok"], true) << committed;
  EXPECT_EQ(committed["readback"]["matched"], true);
  EXPECT_EQ(committed["readback"]["effectMatched"], true);
  EXPECT_EQ(committed["readback"]["detail"], "target-current; action-specific effect proven");

  // A click at a point that changes nothing verifies for 1.2 seconds; shutdown meanwhile is
  // answered before the click and the helper exits cleanly, the click never answered.
  Json point = session.ask("prepare_action", "a2",
                           {{"attemptId", "run-2"},
                            {"identity", identity},
                            {"action", {{"kind", "click"}}},
                            {"fallbackPoint", {{"x", 600}, {"y", 500}}},
                            {"expected", bound["probe"]}});
  ASSERT_EQ(point["ok"], true) << point;
  session.child.write(requestLine("commit_action", "c2",
                                  {{"preparedId", point["preparedId"]}, {"attemptId", "run-2"}}));
  // Wait until the click has been posted, as the desktop's log shows.
  Json posted;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (posted["events"].size() < 3 && std::chrono::steady_clock::now() < deadline) {
    posted = session.control.send({{"op", "posted"}});
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(posted["events"].size(), 3u) << "the click was not posted within 10 s: " << posted;
  EXPECT_EQ(posted["events"][1],
            Json({{"type", "left-down"}, {"x", 600}, {"y", 500}, {"clickCount", 0}}));

  Json shutdown = session.ask("shutdown", "s");
  EXPECT_EQ(shutdown["ok"], true) << shutdown;
  EXPECT_EQ(session.child.waitExit(10), 0);
  EXPECT_EQ(session.child.drainOut(1), "");
  for (const auto& other : session.events)
    EXPECT_EQ(other["type"], "event") << other;
}

}  // namespace
}  // namespace qcu::test
