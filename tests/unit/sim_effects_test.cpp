// The simulated desktop's reactions to the helper's input: value setting, effects of presses,
// clicks, keys and value sets, scheduled commands, failing event creation and the posted log
// read over the control interface.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "desktop/accessibility.h"
#include "desktop/platform.h"
#include "desktop/sim/sim.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using nlohmann::json;
using test::appEntry;
using test::controlDesktop;
using test::loadDesktop;
using test::windowNode;
using test::windowRow;
using Clock = std::chrono::steady_clock;

constexpr std::int32_t PID = 4242;
constexpr std::int32_t OTHER = 4343;

json setValue(const std::string& node, json value) {
  return {{"op", "set-attribute"},
          {"pid", PID},
          {"node", node},
          {"attribute", "AXValue"},
          {"value", std::move(value)}};
}

json onPress(const std::string& node, json commands, double after = 0) {
  return {{"on", {{"press", {{"pid", PID}, {"node", node}}}}},
          {"after", after},
          {"commands", std::move(commands)}};
}

class SimEffectsTest : public test::DesktopTest {
 protected:
  // Window 1 (0,0 400x300) holds a group "form" (0,0 200x100) with a checkbox "agree"
  // (10,10 100x20) and a text field "field". Window 2 of another application lies elsewhere.
  void loadForm(json effects = json::array(), json fieldSetting = nullptr) {
    json agree = {{"id", "agree"},        {"role", "AXCheckBox"}, {"value", 0},
                  {"position", {10, 10}}, {"size", {100, 20}},    {"actions", {"AXPress"}}};
    json field = {{"id", "field"},
                  {"role", "AXTextField"},
                  {"value", ""},
                  {"settable", {"AXValue"}},
                  {"valueSetting", fieldSetting}};
    json form = {{"id", "form"}, {"position", {0, 0}}, {"size", {200, 100}}, {"children", {agree}}};
    json window = windowNode(1, "Form", {form, field});
    window["id"] = "win";
    json description = {{"apps", {appEntry(PID, "Forms", {window}), appEntry(OTHER, "Other")}},
                        {"windows",
                         {windowRow(1, PID, "Form", {0, 0, 400, 300}),
                          windowRow(2, OTHER, "Other", {500, 0, 100, 100})}}};
    if (!effects.empty()) description["effects"] = std::move(effects);
    loadDesktop(description);
  }
  AXElement element(const std::string& id) {
    auto win = axChildren(*platformApplicationElement(PID)).at(0);
    auto children = axChildren(win);
    if (id == "win") return win;
    if (id == "field") return children.at(1);
    if (id == "form") return children.at(0);
    return axChildren(children.at(0)).at(0);
  }
  // The checkbox's state; none unless it is an integer.
  std::optional<std::int64_t> checked() {
    auto value = axAttr(element("agree"), "AXValue");
    if (!value || !std::holds_alternative<std::int64_t>(*value)) return std::nullopt;
    return std::get<std::int64_t>(*value);
  }
  void click(Point at) {
    auto source = *platformCreateInputSource();
    platformPostEvent(source, *platformMakeMouseEvent(source, MouseEventType::LeftDown, at, 1));
    platformPostEvent(source, *platformMakeMouseEvent(source, MouseEventType::LeftUp, at, 1));
  }
  bool setText(const std::string& text) {
    return platformSetAttribute(element("field"), "AXValue", AXValue{text});
  }
};

TEST_F(SimEffectsTest, ValueSettingStoresRefusesIgnoresOrReformats) {
  loadForm();
  EXPECT_TRUE(setText("plain"));
  EXPECT_EQ(axString(element("field"), "AXValue"), "plain");

  json command = {{"op", "set-node"}, {"pid", PID}, {"node", "field"}};
  command["valueSetting"] = {{"result", "refuse"}};
  controlDesktop(command);
  EXPECT_FALSE(setText("refused"));
  command["valueSetting"] = {{"result", "ignore"}};
  controlDesktop(command);
  EXPECT_TRUE(setText("ignored"));
  EXPECT_EQ(axString(element("field"), "AXValue"), "plain");
  command["valueSetting"] = {{"result", "uppercase"}};
  controlDesktop(command);
  EXPECT_TRUE(setText("Mixed case, 42 ü"));
  EXPECT_EQ(axString(element("field"), "AXValue"), "MIXED CASE, 42 ü");
  command["valueSetting"] = nullptr;
  controlDesktop(command);
  EXPECT_TRUE(setText("back"));
  EXPECT_EQ(axString(element("field"), "AXValue"), "back");
  // Elements that do not list AXValue as settable take no value, whatever their setting.
  EXPECT_FALSE(platformSetAttribute(element("agree"), "AXValue", AXValue{std::int64_t{1}}));
}

TEST_F(SimEffectsTest, DelayedSetTakesItsTimeWithoutBlockingTheDesktop) {
  loadForm(json::array(), {{"delay", 0.4}});
  AXElement field = element("field");
  auto start = Clock::now();
  std::thread setter([&] { EXPECT_TRUE(setText("slow")); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(axString(field, "AXValue"), "");  // not yet applied, and the read is answered
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(300));
  setter.join();
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(400));
  EXPECT_EQ(axString(field, "AXValue"), "slow");
}

TEST_F(SimEffectsTest, PressByActionOrClickFiresOnlyTheElementItLandsOn) {
  loadForm({onPress("agree", {setValue("agree", 1)}),
            onPress("form", {{{"op", "bump-pasteboard"}}}),
            onPress("win", {setValue("field", "window")})});
  EXPECT_TRUE(platformPerformAction(element("agree"), "AXPress"));
  EXPECT_EQ(checked(), 1);                                          // seen by the very next read
  EXPECT_FALSE(platformPerformAction(element("form"), "AXPress"));  // not among its actions
  EXPECT_EQ(platformPasteboardChangeCount(), 0);

  controlDesktop(setValue("agree", 0));
  click({20, 15});  // the checkbox, the deepest element there
  EXPECT_EQ(checked(), 1);
  EXPECT_EQ(platformPasteboardChangeCount(), 0);
  click({150, 50});  // the group around it
  EXPECT_EQ(platformPasteboardChangeCount(), 1);
  click({300, 200});  // no element but the window
  EXPECT_EQ(axString(element("field"), "AXValue"), "window");
  click({110, 15});  // frames are half-open: the group's, not the checkbox's

  // A left-up away from its left-down is no click; a window in front takes the click; an
  // invisible one does not.
  controlDesktop(setValue("agree", 0));
  auto source = *platformCreateInputSource();
  platformPostEvent(source, *platformMakeMouseEvent(source, MouseEventType::LeftDown, {20, 15}, 1));
  platformPostEvent(source, *platformMakeMouseEvent(source, MouseEventType::LeftUp, {21, 15}, 1));
  EXPECT_EQ(checked(), 0);
  controlDesktop({{"op", "add-window"}, {"window", windowRow(3, OTHER, "Cover", {0, 0, 50, 50})}});
  click({20, 15});
  EXPECT_EQ(checked(), 0);
  controlDesktop({{"op", "set-row"}, {"number", 3}, {"fields", {{"kCGWindowAlpha", 0}}}});
  click({20, 15});
  EXPECT_EQ(checked(), 1);
  EXPECT_EQ(platformPasteboardChangeCount(), 2);
  EXPECT_TRUE(sim::effectErrors().empty());
}

TEST_F(SimEffectsTest, KeySetValueAndEventTriggers) {
  json copy = {{"on", {{"key", {{"code", 8}, {"flags", 1048576}}}}},
               {"commands", {{{"op", "bump-pasteboard"}}}}};
  json user = {{"on", {{"set-value", {{"pid", PID}, {"node", "field"}}}}},
               {"commands", {setValue("field", "typed by user")}}};
  json moved = {{"on", {{"event", "left-up"}}}, {"commands", {{{"op", "input"}, {"types", {5}}}}}};
  loadForm({copy, user, moved});
  auto source = *platformCreateInputSource();
  platformPostEvent(source, *platformMakeKeyEvent(source, 8, true, 0));
  platformPostEvent(source, *platformMakeKeyEvent(source, 8, true, 1048576 | 131072));
  platformPostEvent(source, *platformMakeKeyEvent(source, 8, false, 1048576));
  EXPECT_EQ(platformPasteboardChangeCount(), 0);
  platformPostEvent(source, *platformMakeKeyEvent(source, 8, true, 1048576));
  EXPECT_EQ(platformPasteboardChangeCount(), 1);

  EXPECT_TRUE(setText("helper"));
  EXPECT_EQ(axString(element("field"), "AXValue"), "typed by user");
  controlDesktop({{"op", "set-node"},
                  {"pid", PID},
                  {"node", "field"},
                  {"valueSetting", {{"result", "refuse"}}}});
  controlDesktop(setValue("field", ""));
  EXPECT_FALSE(setText("helper"));  // a refused set is no set
  EXPECT_EQ(axString(element("field"), "AXValue"), "");

  EXPECT_EQ(platformEventCount(1, 5), 0u);
  platformPostEvent(source, *platformMakeMouseEvent(source, MouseEventType::LeftUp, {700, 700}, 1));
  EXPECT_EQ(platformEventCount(1, 5), 1u);
}

TEST_F(SimEffectsTest, LateEffectsScheduledCommandsAndFailingCommands) {
  loadForm({onPress("agree", {setValue("agree", 1)}, 0.3),
            onPress("agree", {setValue("gone", 1), {{"op", "bump-pasteboard"}}})});
  EXPECT_TRUE(platformPerformAction(element("agree"), "AXPress"));
  EXPECT_EQ(checked(), 0);
  EXPECT_EQ(platformPasteboardChangeCount(), 1);  // the failing command is skipped
  EXPECT_EQ(sim::effectErrors(),
            std::vector<std::string>{"command.node: no element \"gone\" in this application"});
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(checked(), 1);

  controlDesktop({{"op", "schedule"}, {"after", 0.2}, {"commands", {{{"op", "bump-pasteboard"}}}}});
  EXPECT_EQ(platformPasteboardChangeCount(), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(platformPasteboardChangeCount(), 2);

  controlDesktop({{"op", "clear-effects"}});
  EXPECT_TRUE(platformPerformAction(element("agree"), "AXPress"));
  EXPECT_EQ(platformPasteboardChangeCount(), 2);
  controlDesktop(
      {{"op", "add-effect"}, {"effect", onPress("agree", {{{"op", "bump-pasteboard"}}})}});
  EXPECT_TRUE(platformPerformAction(element("agree"), "AXPress"));
  EXPECT_EQ(platformPasteboardChangeCount(), 3);
  sim::reset();
  EXPECT_TRUE(sim::effectErrors().empty());
}

TEST_F(SimEffectsTest, FailingEventTypesPostNothing) {
  loadDesktop({{"inputFailures", {"left-up", "key-down"}},
               {"effects", {{{"on", {{"event", "left-up"}}}, {"commands", {{{"op", "lock"}}}}}}}});
  auto source = platformCreateInputSource();
  ASSERT_TRUE(source);
  EXPECT_TRUE(platformPostEvent(
      *source, *platformMakeMouseEvent(*source, MouseEventType::LeftDown, {1, 1}, 1)));
  EXPECT_FALSE(platformMakeMouseEvent(*source, MouseEventType::LeftUp, {1, 1}, 1));
  EXPECT_FALSE(platformMakeKeyEvent(*source, 36, true, 0));
  EXPECT_TRUE(platformPostEvent(*source, *platformMakeKeyEvent(*source, 36, false, 0)));
  ASSERT_EQ(sim::postedEvents().size(), 2u);
  EXPECT_EQ(sim::postedEvents()[1].type, "key-up");
  EXPECT_FALSE(platformSessionDictionary()->contains("CGSSessionScreenIsLocked"));

  controlDesktop({{"op", "set-input-failures"}, {"types", json::array()}});
  EXPECT_TRUE(platformPostEvent(
      *source, *platformMakeMouseEvent(*source, MouseEventType::LeftUp, {1, 1}, 1)));
  EXPECT_TRUE(platformSessionDictionary()->contains("CGSSessionScreenIsLocked"));
}

TEST_F(SimEffectsTest, BadEffectsAreRefusedNamingThePlace) {
  auto effect = [](json on, json commands = json::array()) {
    return json{{"effects", {{{"on", std::move(on)}, {"commands", std::move(commands)}}}}};
  };
  struct Case {
    json description;
    std::string error;
  } cases[] = {
      {effect({{"tap", {}}}), "effects[0].on.tap: unknown trigger"},
      {effect({{"key", {{"code", 1}}}, {"event", "wheel"}}), "effects[0].on: expected exactly one"},
      {effect({{"event", "scroll"}}), "effects[0].on.event: expected an event type name"},
      {effect({{"press", {{"pid", 1}}}}), "effects[0].on.press.node: expected an element id"},
      {effect({{"key", {{"flags", 1}}}}), "effects[0].on.key.code: required"},
      {effect({{"event", "wheel"}}, {{{"op", "explode"}}}),
       "effects[0].commands[0].op: unknown command \"explode\""},
      {effect({{"event", "wheel"}}, {1}), "effects[0].commands[0]: expected an object"},
      {{{"effects", {{{"on", {{"event", "wheel"}}}}}}}, "effects[0].commands: required"},
      {{{"inputFailures", {"wheel", "scroll"}}}, "inputFailures[1]: unknown event type"},
      {{{"apps", {{{"pid", 1}, {"children", {{{"valueSetting", {{"result", "x"}}}}}}}}}},
       "apps[0].children[0].valueSetting.result: expected"},
      {{{"apps", {{{"pid", 1}, {"children", {{{"valueSetting", {{"delay", -1}}}}}}}}}},
       "apps[0].children[0].valueSetting.delay: expected a number of seconds"},
  };
  for (const auto& c : cases) {
    std::string error = sim::load(c.description);
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
  }
  json reply = sim::control({{"op", "add-effect"}, {"effect", {{"commands", json::array()}}}});
  EXPECT_EQ(reply["error"], "command.effect.on: required");
  reply = sim::control({{"op", "schedule"}, {"after", 1}, {"commands", {{{"id", 1}}}}});
  EXPECT_EQ(reply["error"], "command.commands[0].op: required");
}

TEST_F(SimEffectsTest, PostedLogOverTheControlInterface) {
  auto source = *platformCreateInputSource();
  platformPostEvent(source, *platformMakeMouseEvent(source, MouseEventType::Moved, {10, 20.5}, 0));
  platformPostEvent(source, *platformMakeScrollWheel(source, -3, 1));
  platformPostEvent(source, *platformMakeKeyEvent(source, 36, true, 256));
  controlDesktop({{"op", "schedule"}, {"after", 0}, {"commands", {{{"op", "hang"}, {"pid", 9}}}}});
  json expected = {{"id", "p"},
                   {"ok", true},
                   {"events",
                    {{{"type", "mouse-moved"}, {"x", 10.0}, {"y", 20.5}, {"clickCount", 0}},
                     {{"type", "wheel"},
                      {"x", 10.0},
                      {"y", 20.5},
                      {"verticalLines", -3},
                      {"horizontalLines", 1}},
                     {{"type", "key-down"}, {"keyCode", 36}, {"flags", 256}}}},
                   {"effectErrors", {"command.pid: no application 9"}}};
  EXPECT_EQ(sim::control({{"op", "posted"}, {"id", "p"}}), expected);
  controlDesktop({{"op", "clear-posted"}});
  EXPECT_EQ(sim::control({{"op", "posted"}})["events"], json::array());
}

}  // namespace
}  // namespace qcu
