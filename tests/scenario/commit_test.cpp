// "commit_action" on the simulated desktop, end to end through the dispatcher: the refusals
// before the worker, the checks before dispatch, each executor's dispatch and verification,
// and the readback that says what could be proven.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "actions/keys.h"
#include "binding/probe.h"
#include "desktop/sim/sim.h"
#include "desktop/windows.h"
#include "foundation/clock.h"
#include "foundation/text.h"
#include "session/state.h"
#include "support/harness.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using Json = nlohmann::json;
using test::appEntry;
using test::windowNode;
using test::windowRow;
using SteadyClock = std::chrono::steady_clock;

constexpr std::int32_t PID = 4200;
constexpr std::uint32_t WIN = 101;
constexpr std::int32_t OTHER_PID = 4300;
constexpr std::uint32_t OTHER_WIN = 202;

// An effect: when trigger happens, the commands are applied.
Json effect(const Json& trigger, const std::vector<Json>& commands, double after = 0) {
  return {{"on", trigger}, {"after", after}, {"commands", Json(commands)}};
}
Json setAttribute(const std::string& node, const std::string& attribute, const Json& value) {
  return {{"op", "set-attribute"},
          {"pid", PID},
          {"node", node},
          {"attribute", attribute},
          {"value", value}};
}
Json onPress(const std::string& node) {
  return {{"press", {{"pid", PID}, {"node", node}}}};
}
Json onKey(const std::string& name) {
  const KeySpec key = *keySpec(name);
  return {{"key", {{"code", key.code}, {"flags", key.flags}}}};
}
Json onEvent(const std::string& type) {
  return {{"event", type}};
}
const Json MOUSE_MOVED_BY_USER = {{"op", "input"}, {"types", {5}}};

class CommitTest : public ::testing::Test {
 protected:
  Ident ident;
  std::vector<Json> events;  // events written while waiting for answers
  double answerSeconds = 0;  // how long the last commit took to answer

  void SetUp() override {
    test::resetDesktopAndSession();
    test::resetHarness();
    load();
  }
  void TearDown() override { test::resetDesktopAndSession(); }

  // The target window: a text field, a button, a check box and a status line, each 20 points
  // high; another application's window lies behind it.
  void load(const Json& effects = Json::array(), const std::string& fieldValue = "Hell",
            const Json& fieldSetting = Json::object()) {
    Json field = {{"id", "field"},          {"identifier", "field"},
                  {"role", "AXTextField"},  {"title", "Name"},
                  {"value", fieldValue},    {"settable", {"AXValue", "AXFocused"}},
                  {"position", {120, 100}}, {"size", {200, 20}}};
    if (!fieldSetting.empty()) field["valueSetting"] = fieldSetting;
    Json children = Json::array({field,
                                 {{"id", "ok"},
                                  {"identifier", "ok"},
                                  {"role", "AXButton"},
                                  {"title", "OK"},
                                  {"actions", {"AXPress"}},
                                  {"position", {200, 200}},
                                  {"size", {80, 20}}},
                                 {{"id", "box"},
                                  {"identifier", "box"},
                                  {"role", "AXCheckBox"},
                                  {"title", "Wrap"},
                                  {"value", 0},
                                  {"actions", {"AXPress"}},
                                  {"position", {200, 240}},
                                  {"size", {80, 20}}},
                                 {{"id", "status"},
                                  {"identifier", "status"},
                                  {"role", "AXStaticText"},
                                  {"value", "idle"},
                                  {"position", {200, 300}},
                                  {"size", {200, 20}}}});
    Json desktop = {{"apps",
                     {appEntry(PID, "notes", {windowNode(WIN, "Draft", children)}),
                      appEntry(OTHER_PID, "calc", {windowNode(OTHER_WIN, "Sums")})}},
                    {"windows",
                     {windowRow(WIN, PID, "Draft", {100, 80, 640, 480}),
                      windowRow(OTHER_WIN, OTHER_PID, "Sums", {300, 300, 400, 300})}},
                    {"pasteboard", 7}};
    if (!effects.empty()) desktop["effects"] = effects;
    test::loadDesktop(desktop);
    ident = test::identOf(PID, WIN);
    drainForegroundEvents();
  }

  void registerAll() {
    test::registerElement(ident, "field", "element:field", "AXTextField");
    test::registerElement(ident, "ok", "element:ok", "AXButton");
    test::registerElement(ident, "box", "element:box", "AXCheckBox");
    test::registerElement(ident, "status", "element:status", "AXStaticText");
  }

  int sent = 0;
  // Sends a request and waits for its one answer; events seen meanwhile are kept.
  Json ask(const std::string& type, const Json& fields) {
    const std::string requestId = "r" + std::to_string(++sent);
    const auto start = SteadyClock::now();
    test::sendRequest(type, requestId, fields);
    Json answer;
    while (answer.is_null() && SteadyClock::now() - start < std::chrono::seconds(10)) {
      for (auto& message : test::takeMessages()) {
        if (message["type"] == "event") {
          events.push_back(message);
        } else {
          EXPECT_EQ(message["requestId"], requestId) << message.dump();
          EXPECT_TRUE(answer.is_null()) << "second answer " << message.dump();
          answer = message;
        }
      }
      if (answer.is_null()) sleepSeconds(0.002);
    }
    answerSeconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    EXPECT_FALSE(answer.is_null()) << "no answer to " << type;
    // A commit's worker unregisters its attempt just after answering; the next commit of the
    // same attempt must not meet it.
    if (type == "commit_action") activeAttempts();
    return answer;
  }

  // Prepares the action (kind plus extra request fields) and returns its prepared id.
  std::string prepare(const Json& action, const Json& extra = Json::object(),
                      const std::string& attemptId = "a1") {
    Json fields = {{"attemptId", attemptId},
                   {"identity", ident.object()},
                   {"action", action},
                   {"expected", probeExact(ident, true).object()}};
    for (const auto& [key, value] : extra.items())
      fields[key] = value;
    Json answer = ask("prepare_action", fields);
    EXPECT_EQ(answer["ok"], true) << answer.dump();
    return answer.value("preparedId", "");
  }

  Json commit(const std::string& preparedId, const std::string& attemptId = "a1") {
    return ask("commit_action", {{"preparedId", preparedId}, {"attemptId", attemptId}});
  }

  // Commits and returns the readback, failing the test when the answer is no success.
  Json readback(const std::string& preparedId) {
    Json answer = commit(preparedId);
    EXPECT_EQ(answer["ok"], true) << answer.dump();
    EXPECT_EQ(answer["type"], "commit_action");
    return answer["readback"];
  }

  static Json press(const std::string& ref, const Json& transition = nullptr) {
    Json resolved = {{"backendRef", ref}};
    if (!transition.is_null()) resolved["expectedTransition"] = transition;
    return {{"resolvedElement", resolved}};
  }
  static Json at(double x, double y) { return {{"fallbackPoint", {{"x", x}, {"y", y}}}}; }

  static void expectReadback(const Json& readback, bool matched, bool dispatched, bool effect,
                             const std::string& detail) {
    EXPECT_EQ(readback["matched"], matched) << readback.dump();
    EXPECT_EQ(readback["dispatchAccepted"], dispatched) << readback.dump();
    EXPECT_EQ(readback["effectMatched"], effect) << readback.dump();
    EXPECT_EQ(readback["detail"], detail) << readback.dump();
    EXPECT_EQ(readback["attemptId"], "a1");
  }

  static std::string value(const std::string& node) {
    auto entry = test::registerElement(test::identOf(PID, WIN), node, "element:probe", "AXButton");
    return entry ? currentStringValue(entry->element).value_or("") : "";
  }
  static std::int64_t intAttribute(const std::string& node, const std::string& attribute) {
    auto entry = test::registerElement(test::identOf(PID, WIN), node, "element:probe", "AXButton");
    auto read = entry ? platformCopyAttribute(entry->element, attribute) : std::nullopt;
    return read && std::holds_alternative<std::int64_t>(*read) ? std::get<std::int64_t>(*read) : -1;
  }
  static std::vector<std::string> postedTypes() {
    std::vector<std::string> types;
    for (const auto& event : sim::postedEvents())
      types.push_back(event.type);
    return types;
  }
  // The attempts still registered once the workers had a moment to finish: a worker
  // unregisters its attempt right after writing its answer.
  static std::size_t activeAttempts() {
    for (int i = 0;; ++i) {
      std::size_t count = 0;
      {
        State& s = state();
        std::lock_guard<std::recursive_mutex> guard(s.lock);
        count = s.activeActions.size();
      }
      if (count == 0 || i == 200) return count;
      sleepSeconds(0.005);
    }
  }
};

// ---- Click ----

TEST_F(CommitTest, StatePressProvesTheDeclaredToggleAtOnceOrLateAndReportsTheTarget) {
  load(Json::array({effect(onPress("box"), {setAttribute("box", "AXValue", 1)}, 0.3)}));
  registerAll();
  const Json toggle = {{"kind", "toggle"}, {"before", "off"}, {"after", "on"}};
  Json result = readback(prepare({{"kind", "click"}}, press("element:box", toggle)));
  expectReadback(result, true, true, true, "target-current; action-specific effect proven");
  EXPECT_EQ(result["identity"], ident.object());
  EXPECT_EQ(result["geometry"],
            Json({{"left", 100}, {"top", 80}, {"width", 640}, {"height", 480}}));
  EXPECT_EQ(result["foreground"], true);
  EXPECT_EQ(result["userInputEpoch"], result["postUserInputEpoch"]);
  EXPECT_TRUE(result.contains("dpi"));
  EXPECT_FALSE(result.contains("inputLength"));
  EXPECT_GE(answerSeconds, 0.3);
  EXPECT_TRUE(sim::postedEvents().empty());  // a press posts no mouse events
  EXPECT_EQ(activeAttempts(), 0u);

  // Now "on": a press declared as going from "off" is refused before it happens.
  registerAll();
  result = readback(prepare({{"kind", "click"}}, press("element:box", toggle)));
  expectReadback(result, false, false, false,
                 "uncertain: post-dispatch safety check failed (stale_element_state)");
  EXPECT_FALSE(result.contains("identity"));
  EXPECT_EQ(intAttribute("box", "AXValue"), 1);
}

TEST_F(CommitTest, StatePressThatNeverReachesTheStateIsDispatchedButUnproven) {
  registerAll();
  Json result = readback(
      prepare({{"kind", "click"}},
              press("element:box", {{"kind", "toggle"}, {"before", "off"}, {"after", "on"}})));
  expectReadback(result, true, true, false,
                 "target-current; dispatch accepted; effect not independently proven");
  EXPECT_GE(answerSeconds, 0.8);
  EXPECT_LT(answerSeconds, 4.0);
}

TEST_F(CommitTest, PressOfAnElementThatChangesAfterTheWorkersCheckIsNotDispatched) {
  load(Json::array({effect(onPress("ok"), {setAttribute("status", "AXValue", "saved")})}));
  registerAll();
  std::string id = prepare({{"kind", "click"}}, press("element:ok"));
  // The worker's own element check is the last look at the button before the executor, whose
  // guard starts with the window list: the button is relabelled in between.
  bool looked = false;
  sim::setHook([&](const sim::Call& call) {
    if (call.node == "ok") looked = true;
    if (looked && call.function == "platformWindowList") {
      looked = false;
      test::controlDesktop(setAttribute("ok", "AXTitle", "Delete"));
    }
  });
  Json result = readback(id);
  sim::setHook(nullptr);
  expectReadback(result, false, false, false,
                 "uncertain: post-dispatch safety check failed (stale_element)");
  EXPECT_EQ(value("status"), "idle");
}

TEST_F(CommitTest, TransitionOfAnotherKindIsVerifiedByTheSurface) {
  // The check box toggles at once; a "selection" is not what a check box records, so the press
  // is proven by the window's changed surface rather than by reading the state.
  load(Json::array({effect(onPress("box"), {setAttribute("box", "AXValue", 1)})}));
  registerAll();
  Json result = readback(
      prepare({{"kind", "click"}},
              press("element:box",
                    {{"kind", "selection"}, {"before", "not-selected"}, {"after", "selected"}})));
  expectReadback(result, true, true, true, "target-current; action-specific effect proven");
}

TEST_F(CommitTest, CoordinateClickReachesTheElementUnderThePoint) {
  load(Json::array({effect(onPress("ok"), {setAttribute("status", "AXValue", "saved")})}));
  Json result = readback(prepare({{"kind", "click"}}, at(230, 210)));
  expectReadback(result, true, true, true, "target-current; action-specific effect proven");
  auto posted = sim::postedEvents();
  ASSERT_EQ(postedTypes(), (std::vector<std::string>{"mouse-moved", "left-down", "left-up"}));
  for (const auto& event : posted) {
    EXPECT_EQ(event.point.x, 230);
    EXPECT_EQ(event.point.y, 210);
    EXPECT_EQ(event.clickCount, 0);
  }
  EXPECT_EQ(value("status"), "saved");
}

TEST_F(CommitTest, CoordinateClickThatChangesNothingWaitsOutTheSurfaceWindow) {
  Json result = readback(prepare({{"kind", "click"}}, at(600, 500)));
  expectReadback(result, true, true, false,
                 "target-current; dispatch accepted; effect not independently proven");
  EXPECT_GE(answerSeconds, 1.2);
  EXPECT_LT(answerSeconds, 5.0);
}

TEST_F(CommitTest, CoordinateClickUnderAFloatingSliverIsRefusedWithNothingPosted) {
  std::string id = prepare({{"kind", "click"}}, at(230, 210));
  // A one-point-wide window of another application lies over the point without becoming the
  // front window.
  test::controlDesktop(
      {{"op", "add-window"}, {"window", windowRow(303, OTHER_PID, "Sliver", {230, 0, 1, 900})}});
  Json result = readback(id);
  expectReadback(result, false, false, false,
                 "uncertain: post-dispatch safety check failed (hit_test_failed)");
  EXPECT_TRUE(sim::postedEvents().empty());
}

TEST_F(CommitTest, UserMovingTheMouseDuringVerificationEndsTheClickAfterDispatch) {
  load(Json::array({effect(onEvent("left-up"), {MOUSE_MOVED_BY_USER})}));
  Json result = readback(prepare({{"kind", "click"}}, at(600, 500)));
  expectReadback(result, false, true, false,
                 "uncertain: post-dispatch safety check failed (hardware_input)");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["event"]["type"], "hardware-input");
}

TEST_F(CommitTest, ClickWhoseButtonEventCannotBePostedIsNotReportedAsDispatched) {
  std::string id = prepare({{"kind", "click"}}, at(600, 500));
  test::controlDesktop({{"op", "set-post-failures"}, {"types", {"left-down"}}});
  Json result = readback(id);
  expectReadback(result, false, false, false,
                 "uncertain: post-dispatch safety check failed (send_input_failed)");
  EXPECT_EQ(postedTypes(), std::vector<std::string>{"mouse-moved"});

  // The button went down but its up is refused (also on the retry): the click may have acted.
  test::controlDesktop({{"op", "clear-posted"}});
  id = prepare({{"kind", "click"}}, at(600, 500));
  test::controlDesktop({{"op", "set-post-failures"}, {"types", {"left-up"}}});
  expectReadback(readback(id), false, true, false,
                 "uncertain: post-dispatch safety check failed (send_input_failed)");
  EXPECT_EQ(postedTypes(), (std::vector<std::string>{"mouse-moved", "left-down"}));
}

TEST_F(CommitTest, APressThatClosesItsWindowCannotBeVouchedFor) {
  load(Json::array({effect(onPress("ok"), {{{"op", "close-window"}, {"number", WIN}}})}));
  registerAll();
  Json result = readback(prepare({{"kind", "click"}}, press("element:ok")));
  // The window behind came to the front when the target closed: the first check to see it is
  // the front window's.
  expectReadback(result, false, true, false,
                 "uncertain: post-dispatch safety check failed (foreground_changed)");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["event"]["type"], "focus-lost");
}

TEST_F(CommitTest, CancelDuringVerificationAnswersUncertainAfterDispatch) {
  std::string id = prepare({{"kind", "click"}}, at(600, 500));
  test::sendRequest("commit_action", "c1", {{"preparedId", id}, {"attemptId", "a1"}});
  while (postedTypes().size() < 3)
    sleepSeconds(0.005);
  test::sendRequest("cancel", "c2", {{"attemptId", "a1"}});
  ASSERT_TRUE(test::waitForMessages(2, 5));
  auto messages = test::takeMessages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0]["requestId"], "c2");
  EXPECT_EQ(messages[0]["cancelled"], true);
  EXPECT_EQ(messages[1]["requestId"], "c1");
  sent = 0;
  Json result = messages[1]["readback"];
  expectReadback(result, false, true, false, "uncertain: stopped after dispatch began");
}

// ---- Scroll ----

TEST_F(CommitTest, ScrollPostsOneWheelEventOfOppositeSignAndIsNeverProven) {
  Json result = readback(prepare({{"kind", "scroll"}, {"deltaX", 1}, {"deltaY", -1}}));
  expectReadback(result, true, true, false,
                 "target-current; dispatch accepted; effect not independently proven");
  EXPECT_TRUE(result.contains("identity"));
  auto posted = sim::postedEvents();
  ASSERT_EQ(postedTypes(), (std::vector<std::string>{"mouse-moved", "wheel"}));
  EXPECT_EQ(posted[0].point.x, 420);  // the window's centre
  EXPECT_EQ(posted[0].point.y, 320);
  EXPECT_EQ(posted[1].verticalLines, 3);
  EXPECT_EQ(posted[1].horizontalLines, -3);
}

TEST_F(CommitTest, UserInputRightAfterAScrollFailsThePostActionCheck) {
  load(Json::array({effect(onEvent("wheel"), {MOUSE_MOVED_BY_USER})}));
  Json result = readback(prepare({{"kind", "scroll"}, {"deltaY", 1}}));
  expectReadback(result, false, true, false, "uncertain: post-action target check failed");
  EXPECT_EQ(result["userInputEpoch"], result["postUserInputEpoch"]);
  EXPECT_EQ(sim::postedEvents().at(1).verticalLines, -3);

  // A screen that locks right after the scroll: the target is the same, but not usable.
  load(Json::array({effect(onEvent("wheel"), {{{"op", "lock"}}})}));
  result = readback(prepare({{"kind", "scroll"}, {"deltaY", 1}}));
  expectReadback(result, false, true, false, "uncertain: post-action target check failed");
  EXPECT_EQ(result["foreground"], true);
}

TEST_F(CommitTest, ScrollWithoutAUsablePointOrWheelEventDispatchesNothing) {
  registerAll();
  // The element moves out of the window after preparation, and there is no fallback point.
  std::string id = prepare({{"kind", "scroll"}, {"deltaY", 1}}, press("element:ok"));
  test::controlDesktop(setAttribute("ok", "AXPosition", {{"point", {5000, 5000}}}));
  expectReadback(readback(id), false, false, false,
                 "uncertain: post-dispatch safety check failed (point_required)");
  EXPECT_TRUE(sim::postedEvents().empty());

  id = prepare({{"kind", "scroll"}, {"deltaY", 1}});
  test::controlDesktop({{"op", "set-post-failures"}, {"types", {"wheel"}}});
  expectReadback(readback(id), false, false, false,
                 "uncertain: post-dispatch safety check failed (send_input_failed)");
  EXPECT_EQ(postedTypes(), std::vector<std::string>{"mouse-moved"});
}

// ---- Type ----

class TypeTest : public CommitTest {
 protected:
  // Prepares typing the chunks into the field as the owner observed it now.
  std::string prepareType(const std::vector<std::string>& chunks) {
    test::registerElement(ident, "field", "element:field", "AXTextField");
    const std::string observed = value("field");
    return prepare({{"kind", "type"}}, {{"textChunks", chunks},
                                        {"resolvedElement",
                                         {{"backendRef", "element:field"},
                                          {"expectedValueState",
                                           {{"fingerprint", valueStateFingerprint(observed)},
                                            {"scalarLength", scalarCount(observed)}}}}}});
  }
};

TEST_F(TypeTest, ChunksAreAppendedOneValueSetAtATimeAndTheAfterStateIsProven) {
  load(Json::array(), "");
  std::vector<std::string> seenBeforeSets;
  std::mutex seenLock;
  std::string id = prepareType({"ab", "cd"});
  sim::setHook([&](const sim::Call& call) {
    if (call.function != "platformSetAttribute" || call.name != "AXValue") return;
    std::lock_guard<std::mutex> guard(seenLock);
    seenBeforeSets.push_back(value("field"));
  });
  Json result = readback(id);
  sim::setHook(nullptr);
  expectReadback(result, true, true, true, "target-current; action-specific effect proven");
  EXPECT_EQ(result["inputLength"], 4);
  EXPECT_EQ(value("field"), "abcd");
  EXPECT_EQ(seenBeforeSets, (std::vector<std::string>{"", "ab"}));
  EXPECT_TRUE(sim::postedEvents().empty());  // no keystrokes
}

TEST_F(TypeTest, AWindowRetitledByTheTypingItselfTakesTheRestOfTheText) {
  load(Json::array({effect({{"set-value", {{"pid", PID}, {"node", "field"}}}},
                           {{{"op", "retitle"}, {"number", WIN}, {"title", "Draft (edited)"}}})}),
       "");
  Json result = readback(prepareType({"ab", "cd"}));
  expectReadback(result, true, true, true, "target-current; action-specific effect proven");
  EXPECT_EQ(value("field"), "abcd");
}

TEST_F(TypeTest, AFieldNoLongerHoldingTheObservedValueIsNotWritten) {
  std::string id = prepareType({"o"});
  test::controlDesktop(setAttribute("field", "AXValue", "Hello"));
  Json result = readback(id);
  expectReadback(result, false, false, false,
                 "uncertain: post-dispatch safety check failed (stale_value_state)");
  EXPECT_EQ(result["inputLength"], 1);
  EXPECT_EQ(value("field"), "Hello");
}

TEST_F(TypeTest, AnApplicationThatReformatsTheValueStopsTheTypingAfterOneChunk) {
  load(Json::array(), "", {{"result", "uppercase"}});
  Json result = readback(prepareType({"ab", "cd"}));
  expectReadback(result, true, true, false,
                 "target-current; dispatch accepted; effect not independently proven");
  EXPECT_EQ(value("field"), "AB");
  EXPECT_EQ(result["inputLength"], 4);  // what was prepared, not what was typed
}

TEST_F(TypeTest, AValueChangedBetweenChunksEndsTheTypingAfterDispatch) {
  load(Json::array(), "");
  std::string id = prepareType({"ab", "cd"});
  // Right after the first chunk is read back, something else writes to the field.
  bool written = false;
  sim::setHook([&](const sim::Call& call) {
    if (call.function == "platformSetAttribute" && call.name == "AXValue") written = true;
    if (written && call.function == "platformWindowList") {
      written = false;
      test::controlDesktop(setAttribute("field", "AXValue", "abX"));
    }
  });
  Json result = readback(id);
  sim::setHook(nullptr);
  expectReadback(result, false, true, false,
                 "uncertain: post-dispatch safety check failed (stale_value_state)");
  EXPECT_EQ(value("field"), "abX");
}

TEST_F(TypeTest, ASlowValueSetExceedsTheSafetyIntervalAfterDispatch) {
  load(Json::array(), "", {{"delay", 0.3}});
  Json result = readback(prepareType({"ab", "cd"}));
  expectReadback(result, false, true, false,
                 "uncertain: post-dispatch safety check failed (dispatch_interval_exceeded)");
  EXPECT_EQ(result["inputLength"], 4);
  EXPECT_EQ(value("field"), "ab");
}

TEST_F(TypeTest, ARefusedValueIsAFailureBeforeDispatch) {
  load(Json::array(), "", {{"result", "refuse"}});
  expectReadback(readback(prepareType({"ab"})), false, false, false,
                 "uncertain: post-dispatch safety check failed (action_failed)");
}

TEST_F(TypeTest, AFieldThatTurnsIntoAPasswordFieldIsNeverWritten) {
  std::string id = prepareType({"o"});
  // The field becomes a secure text field after the surface scan before dispatch read its
  // subrole, so only the typing's own password check can see it.
  int subroleReads = 0;
  sim::setHook([&](const sim::Call& call) {
    if (call.node == "field" && call.name == "AXSubrole" && ++subroleReads == 2) {
      test::controlDesktop(setAttribute("field", "AXSubrole", "AXSecureTextField"));
    }
  });
  Json result = readback(id);
  sim::setHook(nullptr);
  expectReadback(result, false, false, false,
                 "uncertain: post-dispatch safety check failed (password_control)");
  EXPECT_EQ(value("field"), "Hell");
}

// ---- Keys ----

TEST_F(CommitTest, KeysArePostedWithTheirCodesAndExactFlags) {
  load(Json::array({effect(onKey("Enter"), {setAttribute("status", "AXValue", "sent")}),
                    effect(onKey("Ctrl+A"), {setAttribute("status", "AXValue", "all")}),
                    effect(onKey("Ctrl+Y"), {setAttribute("status", "AXValue", "redo")})}));
  for (const std::string key : {"Ctrl+A", "Enter", "Ctrl+Y"}) {
    Json result = readback(prepare({{"kind", "key"}, {"key", key}}));
    expectReadback(result, true, true, true, "target-current; action-specific effect proven");
    EXPECT_FALSE(result.contains("clipboardSequence"));
  }
  auto posted = sim::postedEvents();
  ASSERT_EQ(posted.size(), 6u);
  const std::vector<std::pair<int, std::uint64_t>> sent = {
      {0, KEY_FLAG_COMMAND}, {36, 0}, {6, KEY_FLAG_COMMAND | KEY_FLAG_SHIFT}};
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(posted[2 * i].type, "key-down");
    EXPECT_EQ(posted[2 * i + 1].type, "key-up");
    for (std::size_t j : {2 * i, 2 * i + 1}) {
      EXPECT_EQ(posted[j].keyCode, sent[i].first) << i;
      EXPECT_EQ(posted[j].flags, sent[i].second) << i;
    }
  }
}

TEST_F(CommitTest, CopyIsProvenByThePasteboardAndRecordsItsSequence) {
  load(Json::array({effect(onKey("Ctrl+C"), {{{"op", "bump-pasteboard"}}}, 0.1)}));
  Json result = readback(prepare({{"kind", "key"}, {"key", "Ctrl+C"}}));
  expectReadback(result, true, true, true, "target-current; action-specific effect proven");
  EXPECT_EQ(result["clipboardSequence"], 8);

  // A copy proven by the pasteboard whose window is then locked: no sequence is reported.
  load(Json::array({effect(onKey("Ctrl+C"), {{{"op", "bump-pasteboard"}}, {{"op", "lock"}}})}));
  result = readback(prepare({{"kind", "key"}, {"key", "Ctrl+C"}}));
  expectReadback(result, false, true, false, "uncertain: post-action target check failed");
  EXPECT_FALSE(result.contains("clipboardSequence"));
  test::controlDesktop({{"op", "unlock"}});

  // The pasteboard the run copied to is what a paste expects; another copy in between refuses.
  std::string paste =
      prepare({{"kind", "key"}, {"key", "Ctrl+V"}, {"expectedClipboardSequence", 8}});
  test::controlDesktop({{"op", "bump-pasteboard"}});
  Json refused = commit(paste);
  EXPECT_EQ(refused["code"], "clipboard_changed") << refused.dump();
  EXPECT_EQ(refused["message"], "clipboard changed after the run's own copy");
  EXPECT_EQ(sim::postedEvents().size(), 2u);  // only the copy's two events
}

TEST_F(CommitTest, KeysWithoutAVisibleEffectWaitOutTheWatch) {
  // A copy of an empty selection: the pasteboard stays as it was.
  Json copy = readback(prepare({{"kind", "key"}, {"key", "Ctrl+C"}}));
  expectReadback(copy, true, true, false,
                 "target-current; dispatch accepted; effect not independently proven");
  EXPECT_FALSE(copy.contains("clipboardSequence"));
  EXPECT_GE(answerSeconds, 0.65);

  Json escape = readback(prepare({{"kind", "key"}, {"key", "Escape"}}));
  expectReadback(escape, true, true, false,
                 "target-current; dispatch accepted; effect not independently proven");
  EXPECT_GE(answerSeconds, 0.65);
  EXPECT_LT(answerSeconds, 4.0);
}

TEST_F(CommitTest, UserInputDuringTheKeyWatchLeavesTheEffectUnproven) {
  // The window changes, but the user moved the mouse too: the change cannot be credited.
  load(Json::array(
      {effect(onKey("Enter"), {setAttribute("status", "AXValue", "sent"), MOUSE_MOVED_BY_USER})}));
  Json result = readback(prepare({{"kind", "key"}, {"key", "Enter"}}));
  expectReadback(result, false, true, false, "uncertain: post-action target check failed");
}

TEST_F(CommitTest, AKeyWhoseKeyUpCannotBePostedCountsAsDispatched) {
  // The key went down, which alone can act: the answer must not say nothing was sent.
  std::string id = prepare({{"kind", "key"}, {"key", "Enter"}});
  test::controlDesktop({{"op", "set-post-failures"}, {"types", {"key-up"}}});
  expectReadback(readback(id), false, true, false,
                 "uncertain: post-dispatch safety check failed (send_input_failed)");
  EXPECT_EQ(postedTypes(), std::vector<std::string>{"key-down"});
}

TEST_F(CommitTest, KeyForATargetBehindAnotherWindowPostsNothing) {
  std::string id = prepare({{"kind", "key"}, {"key", "Enter"}});
  test::controlDesktop({{"op", "restack"}, {"number", OTHER_WIN}, {"to", 0}});
  Json answer = commit(id);
  EXPECT_EQ(answer["code"], "stale_focus") << answer.dump();
  EXPECT_TRUE(sim::postedEvents().empty());
}

// ---- The request ----

TEST_F(CommitTest, EveryPreparedActionCommitsAtMostOnce) {
  std::string id = prepare({{"kind", "scroll"}, {"deltaY", 1}});
  EXPECT_EQ(readback(id)["matched"], true);
  EXPECT_EQ(commit(id)["code"], "not_prepared");

  // A wrong attempt consumes the record too.
  id = prepare({{"kind", "scroll"}, {"deltaY", 1}});
  Json wrong = commit(id, "a2");
  EXPECT_EQ(wrong["code"], "stale_prepare");
  EXPECT_EQ(wrong["message"], "prepared action expired or mismatched");
  EXPECT_EQ(commit(id)["code"], "not_prepared");

  // Expired and cleaned up; or invalidated by a Stop.
  id = prepare({{"kind", "scroll"}, {"deltaY", 1}});
  advanceClockForTests(std::chrono::seconds(31));
  EXPECT_EQ(commit(id)["code"], "not_prepared");
  resetClockForTests();
  id = prepare({{"kind", "scroll"}, {"deltaY", 1}});
  EXPECT_EQ(ask("stop", Json::object())["ok"], true);
  EXPECT_EQ(commit(id)["code"], "not_prepared");
  EXPECT_EQ(sim::postedEvents().size(), 2u);  // the first scroll only
}

TEST_F(CommitTest, AStaleStopEpochAndMalformedFieldsAreRefused) {
  std::string id = prepare({{"kind", "scroll"}, {"deltaY", 1}});
  stopEpoch().update([](std::int64_t& epoch) { ++epoch; });
  Json stopped = commit(id);
  EXPECT_EQ(stopped["code"], "stopped");
  EXPECT_EQ(stopped["message"], "Stop invalidated prepared action");
  EXPECT_EQ(ask("commit_action", {{"attemptId", "a1"}})["code"], "bad_request");
  EXPECT_EQ(
      ask("commit_action", {{"preparedId", id}, {"attemptId", std::string(161, 'a')}})["code"],
      "bad_request");
}

TEST_F(CommitTest, ASecondCommitOfARunningAttemptIsRefusedAndTheGateIsReleased) {
  std::string first = prepare({{"kind", "click"}}, at(600, 500));
  std::string second = prepare({{"kind", "click"}}, at(600, 500));
  test::sendRequest("commit_action", "c1", {{"preparedId", first}, {"attemptId", "a1"}});
  Json refused = commit(second);
  EXPECT_EQ(refused["code"], "attempt_active");
  EXPECT_EQ(refused["message"], "attempt already active");
  ASSERT_TRUE(test::waitForMessages(1, 5));
  EXPECT_EQ(test::takeMessages().at(0)["readback"]["dispatchAccepted"], true);
  EXPECT_EQ(commit(second)["code"], "not_prepared");  // consumed by the refusal
  EXPECT_EQ(activeAttempts(), 0u);
  // The gate is free again.
  EXPECT_EQ(readback(prepare({{"kind", "scroll"}, {"deltaY", 1}}))["matched"], true);
}

TEST_F(CommitTest, ChecksBeforeDispatchAnswerWithErrorsAndPostNothing) {
  std::string id = prepare({{"kind", "click"}}, at(600, 500));
  test::controlDesktop({{"op", "retitle"}, {"number", WIN}, {"title", "Draft 2"}});
  Json retitled = commit(id);
  EXPECT_EQ(retitled["code"], "target_title_changed") << retitled.dump();

  load();
  registerAll();
  id = prepare({{"kind", "click"}}, press("element:ok"));
  test::controlDesktop({{"op", "remove-node"}, {"pid", PID}, {"node", "ok"}});
  EXPECT_EQ(commit(id)["code"], "stale_element");

  load();
  id = prepare({{"kind", "click"}}, at(600, 500));
  test::controlDesktop({{"op", "set-permissions"}, {"accessibility", false}});
  EXPECT_EQ(commit(id)["ok"], false);
}

TEST_F(CommitTest, ACommitCancelledWhileWaitingForTheGateIsRefusedBeforeDispatch) {
  std::string first = prepare({{"kind", "click"}}, at(600, 500));
  std::string second = prepare({{"kind", "scroll"}, {"deltaY", 1}}, {}, "a2");
  test::sendRequest("commit_action", "c1", {{"preparedId", first}, {"attemptId", "a1"}});
  while (postedTypes().size() < 3)
    sleepSeconds(0.005);  // the first holds the gate while it verifies
  test::sendRequest("commit_action", "c2", {{"preparedId", second}, {"attemptId", "a2"}});
  test::sendRequest("cancel", "c3", {{"attemptId", "a2"}});
  ASSERT_TRUE(test::waitForMessages(3, 5));
  auto messages = test::takeMessages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0]["requestId"], "c3");
  EXPECT_EQ(messages[1]["requestId"], "c1");
  EXPECT_EQ(messages[2]["requestId"], "c2");
  EXPECT_EQ(messages[2]["code"], "cancelled_before_effect");
  EXPECT_EQ(messages[2]["message"], "action cancelled before dispatch");
  EXPECT_EQ(postedTypes().size(), 3u);  // the scroll never moved the pointer
  EXPECT_EQ(activeAttempts(), 0u);
}

// ---- Events made before any is posted ----

TEST_F(CommitTest, AnEventThatCannotBeMadeKeepsTheWholeDispatchBack) {
  // Each action with each event type of its own dispatch that cannot be made.
  struct Case {
    Json action;
    Json extra;
    const char* failing;
  } cases[] = {
      {{{"kind", "click"}}, at(600, 500), "mouse-moved"},
      {{{"kind", "click"}}, at(600, 500), "left-down"},
      {{{"kind", "click"}}, at(600, 500), "left-up"},
      {{{"kind", "scroll"}, {"deltaY", 1}}, Json::object(), "mouse-moved"},
      {{{"kind", "scroll"}, {"deltaY", 1}}, Json::object(), "wheel"},
      {{{"kind", "key"}, {"key", "Enter"}}, Json::object(), "key-down"},
      {{{"kind", "key"}, {"key", "Enter"}}, Json::object(), "key-up"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.action.dump() + " without " + c.failing);
    test::controlDesktop({{"op", "set-input-failures"}, {"types", Json::array()}});
    const std::string id = prepare(c.action, c.extra);
    test::controlDesktop({{"op", "set-input-failures"}, {"types", {c.failing}}});
    expectReadback(readback(id), false, false, false,
                   "uncertain: post-dispatch safety check failed (send_input_failed)");
    EXPECT_EQ(postedTypes(), std::vector<std::string>{});
  }
}

TEST_F(CommitTest, AnUpRefusedOnceIsPostedOnItsRetry) {
  struct Case {
    Json action;
    Json extra;
    const char* up;
    std::vector<std::string> posted;
  } cases[] = {
      {{{"kind", "click"}}, at(600, 500), "left-up", {"mouse-moved", "left-down", "left-up"}},
      {{{"kind", "key"}, {"key", "Enter"}}, Json::object(), "key-up", {"key-down", "key-up"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.up);
    test::controlDesktop({{"op", "clear-posted"}});
    const std::string id = prepare(c.action, c.extra);
    // The platform refuses the first post of the up, and takes the next one.
    std::atomic<int> posts{0};
    const std::string up = c.up;
    sim::setHook([&posts, up](const sim::Call& call) {
      if (call.function != "platformPostEvent" || call.name != up) return;
      const Json types = ++posts == 1 ? Json::array({up}) : Json::array();
      test::controlDesktop({{"op", "set-post-failures"}, {"types", types}});
    });
    expectReadback(readback(id), true, true, false,
                   "target-current; dispatch accepted; effect not independently proven");
    sim::setHook(nullptr);
    EXPECT_EQ(posts, 2);
    EXPECT_EQ(postedTypes(), c.posted);
  }
}

}  // namespace
}  // namespace qcu
