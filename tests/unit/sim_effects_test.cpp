// The simulated desktop's reactions to the helper's input: value setting, and the posted log
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

TEST_F(SimEffectsTest, PostedLogOverTheControlInterface) {
  auto source = *platformCreateInputSource();
  platformPostMouseEvent(source, MouseEventType::Moved, {10, 20.5}, 0);
  platformPostScrollWheel(source, -3, 1);
  platformPostKeyEvent(source, 36, true, 256);
  json expected = {{"id", "p"},
                   {"ok", true},
                   {"events",
                    {{{"type", "mouse-moved"}, {"x", 10.0}, {"y", 20.5}, {"clickCount", 0}},
                     {{"type", "wheel"},
                      {"x", 10.0},
                      {"y", 20.5},
                      {"verticalLines", -3},
                      {"horizontalLines", 1}},
                     {{"type", "key-down"}, {"keyCode", 36}, {"flags", 256}}}}};
  EXPECT_EQ(sim::control({{"op", "posted"}, {"id", "p"}}), expected);
  controlDesktop({{"op", "clear-posted"}});
  EXPECT_EQ(sim::control({{"op", "posted"}})["events"], json::array());
}

}  // namespace
}  // namespace qcu
