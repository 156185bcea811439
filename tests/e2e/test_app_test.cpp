// The GTK test application on the virtual desktop: it builds a fixture's windows and elements as
// real widgets that X11 and the accessibility registry list, and its commands change them.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include "support/vdesk.h"

namespace qcu::test {
namespace {

using nlohmann::json;

json loadFixture(const std::string& name) {
  std::ifstream in(fixturePath(name));
  return json::parse(in);
}

// The role a fixture names for what the accessibility registry shows of a GTK 3 widget: AT-SPI
// role names, with text fields and text areas told apart by their line state.
std::string fixtureRole(const json& node) {
  std::string role = node.at("role");
  auto has = [&](const char* state) {
    for (const json& s : node["states"])
      if (s == state) return true;
    return false;
  };
  if (role == "push button") return "AXButton";
  if (role == "check box") return "AXCheckBox";
  if (role == "password text") return "AXSecureTextField";
  if (role == "text") return has("multi-line") ? "AXTextArea" : "AXTextField";
  if (role == "label") return "AXStaticText";
  if (role == "filler" || role == "panel") return "AXGroup";
  return "unmapped AT-SPI role " + role;
}

void expectElementsShown(const json& tree, const json& elements) {
  for (const json& element : elements) {
    std::string id = element.at("id");
    const json* node = findAccessible(tree, id);
    ASSERT_NE(node, nullptr) << "no accessible element with id " << id;
    EXPECT_EQ(fixtureRole(*node), element.at("role")) << id;
    if (element.contains("title")) EXPECT_EQ(node->at("name"), element["title"]) << id;
    if (element.contains("placeholder")) {
      EXPECT_EQ(node->at("attributes").value("placeholder-text", ""), element["placeholder"]) << id;
    }
    expectElementsShown(tree, element.value("children", json::array()));
  }
}

class TestAppTest : public ::testing::Test {
 protected:
  TestApp app = startTestApp({"--fixture", fixturePath("form.json")});
};

TEST_F(TestAppTest, FixtureWindowsAreListedByX11WithTheirPid) {
  json fixture = loadFixture("form.json");
  json windows = waitForWindows(app.pid, 1);
  ASSERT_EQ(windows.size(), 1u);
  ASSERT_EQ(app.windows.size(), 1u);
  EXPECT_EQ(windows[0]["xid"], app.windows[0]["xid"]);
  EXPECT_EQ(windows[0]["title"], fixture["apps"][0]["windows"][0]["title"]);
}

TEST_F(TestAppTest, FixtureElementsAppearInTheAccessibilityTree) {
  json fixture = loadFixture("form.json");
  json tree = waitForAccessibleApp(app.pid);
  const json& window = fixture["apps"][0]["windows"][0];
  ASSERT_EQ(tree["children"].size(), 1u);
  EXPECT_EQ(tree["children"][0]["role"], "frame");
  EXPECT_EQ(tree["children"][0]["name"], window["title"]);
  expectElementsShown(tree, window["children"]);
}

TEST_F(TestAppTest, WindowCommandsShowOnX11) {
  EXPECT_EQ(app.command({{"op", "retitle"}, {"number", 101}, {"title", "Sign in"}})["ok"], true);
  waitForWindowsWhere(app.pid, "retitled", [](const json& windows) {
    return windows.size() == 1 && windows[0]["title"] == "Sign in";
  });
  json opened = app.command({{"op", "open-window"}, {"number", 2}, {"title", "Second"}});
  ASSERT_EQ(opened["ok"], true) << opened;
  json windows = waitForWindows(app.pid, 2);
  EXPECT_TRUE(windows[0]["xid"] == opened["window"]["xid"] ||
              windows[1]["xid"] == opened["window"]["xid"])
      << windows;
  EXPECT_EQ(app.command({{"op", "close-window"}, {"number", 2}})["ok"], true);
  waitForWindowsWhere(app.pid, "the second one closed",
                      [](const json& windows) { return windows.size() == 1; });
}

TEST_F(TestAppTest, AddedElementsAppearInTheAccessibilityTree) {
  waitForAccessibleApp(app.pid);
  json password = {{"id", "pw"}, {"role", "AXSecureTextField"}, {"placeholder", "Password"}};
  EXPECT_EQ(app.command({{"op", "add-node"}, {"number", 101}, {"node", password}})["ok"], true);
  EXPECT_EQ(app.command({{"op", "add-buttons"}, {"number", 101}, {"count", 300}})["ok"], true);
  json tree = waitForAccessibleApp(app.pid);
  expectElementsShown(tree, json::array({password}));
  for (int n : {1, 150, 300}) {
    std::string id = "button-" + std::to_string(n);
    const json* button = findAccessible(tree, id);
    ASSERT_NE(button, nullptr) << id;
    EXPECT_EQ(fixtureRole(*button), "AXButton");
    EXPECT_EQ(button->at("name"), "Button " + std::to_string(n));
  }
  EXPECT_EQ(findAccessible(tree, "button-301"), nullptr);
}

// The fixture's press effects run when an assistive tool presses the element, as on the
// simulated desktop: the button is relabelled, the check box ends checked.
TEST_F(TestAppTest, PressEffectsOfTheFixtureApply) {
  waitForAccessibleApp(app.pid);
  for (const char* id : {"send", "agree"}) {
    json pressed = probeDesktop({"press", std::to_string(app.pid), id});
    EXPECT_EQ(pressed["done"], true) << id << ": " << pressed;
  }
  EXPECT_EQ(app.command({{"op", "get"}, {"node", "send"}})["title"], "Sent");
  EXPECT_EQ(app.command({{"op", "get"}, {"node", "agree"}})["value"], 1);
}

TEST_F(TestAppTest, ValuesSetByCommandReadBack) {
  EXPECT_EQ(app.command({{"op", "set-attribute"},
                         {"node", "name"},
                         {"attribute", "AXValue"},
                         {"value", "Ada"}})["ok"],
            true);
  EXPECT_EQ(app.command({{"op", "get"}, {"node", "name"}})["value"], "Ada");
  json notes = app.command({{"op", "get"}, {"node", "notes"}});
  EXPECT_GT(notes["scroll"]["max"].get<double>(), 0) << "the text area cannot scroll";
  EXPECT_EQ(notes["scroll"]["value"], 0.0);
}

TEST_F(TestAppTest, HangBlocksTheMainLoopAfterAnswering) {
  ASSERT_EQ(app.command({{"op", "hang"}, {"seconds", 2}})["ok"], true);
  auto answered = std::chrono::steady_clock::now();
  EXPECT_EQ(app.command({{"op", "ping"}})["ok"], true);
  EXPECT_GE(std::chrono::steady_clock::now() - answered, std::chrono::milliseconds(1500));
}

TEST_F(TestAppTest, EveryBadLineIsAnsweredAndTheAppGoesOn) {
  for (const char* line : {"garbage", "[1]", R"({"op": "nope"})", R"({"op": "get", "node": "x"})",
                           R"({"op": "retitle", "number": 999, "title": "x"})",
                           R"({"op": "add-node", "number": 101, "node": {"role": "AXNope"}})"}) {
    app.child.write(std::string(line) + "\n");
    auto answer = app.child.readMessage(15);
    ASSERT_TRUE(answer) << line;
    EXPECT_EQ((*answer)["ok"], false) << line;
    EXPECT_TRUE((*answer)["error"].is_string()) << line;
  }
  EXPECT_EQ(app.command({{"op", "ping"}})["ok"], true);
}

TEST_F(TestAppTest, EndOfInputQuits) {
  app.child.closeInput();
  EXPECT_EQ(app.child.waitExit(15), 0);
}

}  // namespace
}  // namespace qcu::test
