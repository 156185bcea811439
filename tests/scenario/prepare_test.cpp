// "prepare_action" on the simulated desktop: the order of its checks and the per-kind rules.
#include <gtest/gtest.h>

#include <string>

#include "actions/prepared.h"
#include "binding/probe.h"
#include "desktop/accessibility.h"
#include "foundation/clock.h"
#include "foundation/text.h"
#include "observation/element.h"
#include "session/state.h"
#include "support/harness.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using Json = nlohmann::json;
using test::appEntry;
using test::TARGET_PID;
using test::TARGET_WINDOW;
using test::windowRow;

class PrepareTest : public ::testing::Test {
 protected:
  Ident ident;

  void SetUp() override {
    test::resetHarness();
    Json children = Json::array({{{"id", "field"},
                                  {"identifier", "field"},
                                  {"role", "AXTextField"},
                                  {"value", "Hi"},
                                  {"settable", {"AXValue"}}},
                                 {{"id", "ok"},
                                  {"identifier", "ok"},
                                  {"role", "AXButton"},
                                  {"title", "OK"},
                                  {"actions", {"AXPress"}}},
                                 {{"id", "box"},
                                  {"identifier", "box"},
                                  {"role", "AXCheckBox"},
                                  {"title", "Wrap"},
                                  {"value", 0}}});
    test::loadDesktop(test::targetDesktop(children, {{"pasteboard", 7}}));
    ident = test::identOf(TARGET_PID, TARGET_WINDOW);
  }

  Json expected() { return probeExact(ident, true).object(); }

  // Registers the element with the given identifier as an observation would, under reference ref.
  void registerElement(const std::string& node, const std::string& ref, const std::string& role,
                       double ttl = 30) {
    ASSERT_TRUE(test::registerElement(ident, node, ref, role, ttl)) << node;
  }

  Json request(const Json& action, Json extra = Json::object()) {
    Json r = {{"attemptId", "a1"},
              {"identity", ident.object()},
              {"action", action},
              {"expected", expected()}};
    for (const auto& [k, v] : extra.items())
      r[k] = v;
    return r;
  }

  static Json answer(const Json& fields) { return test::ask("prepare_action", fields); }
  void expectCode(const Json& fields, const std::string& code, const std::string& message = "") {
    Json reply = answer(fields);
    EXPECT_EQ(reply["code"], code) << reply.dump();
    if (!message.empty()) EXPECT_EQ(reply["message"], message);
  }
  static std::size_t held() {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    return s.prepared.size();
  }
  static std::shared_ptr<Prepared> record(const std::string& id) {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    return s.prepared.at(id);
  }
};

TEST_F(PrepareTest, ClickByPointOrByPressRegistersOneRecordAndDescribesIt) {
  Json byPoint = answer(request({{"kind", "click"}}, {{"fallbackPoint", {{"x", 150}, {"y", 90}}}}));
  EXPECT_EQ(byPoint["ok"], true) << byPoint.dump();
  EXPECT_EQ(byPoint["method"], "coordinates");
  EXPECT_EQ(byPoint["requiresHitTest"], true);
  EXPECT_EQ(byPoint["targetCheckIntervalMs"], 250);
  EXPECT_EQ(byPoint["chunkGuards"], "backend-enforced");
  EXPECT_EQ(byPoint["identity"], ident.object());
  EXPECT_FALSE(byPoint.contains("expectedAfterValueState"));
  std::string id = byPoint["preparedId"];
  EXPECT_EQ(id.rfind("prepared:", 0), 0u);
  EXPECT_EQ(id.size(), 9u + 24u);
  auto first = record(id);
  EXPECT_EQ(first->point->x, 150);
  EXPECT_EQ(first->attemptId, "a1");

  registerElement("ok", "element:ok", "AXButton");
  Json byPress =
      answer(request({{"kind", "click"}, {"key", "Enter"}},
                     {{"resolvedElement", {{"backendRef", "element:ok"}}}, {"textChunks", {"x"}}}));
  EXPECT_EQ(byPress["method"], "uia");
  EXPECT_EQ(byPress["requiresHitTest"], false);
  EXPECT_NE(byPress["preparedId"], id);  // the same attempt gets a fresh id
  auto second = record(byPress["preparedId"]);
  EXPECT_EQ(second->textChunks, std::vector<std::string>{"x"});
  EXPECT_EQ(second->key, "Enter");  // kept whatever the kind
  EXPECT_EQ(held(), 2u);

  // A resolved element given as a string is ignored: without a point nothing can click.
  expectCode(request({{"kind", "click"}}, {{"resolvedElement", "element:ok"}}),
             "unsupported_action", "no safe action method for exact target");
}

TEST_F(PrepareTest, AtMost32RecordsAreHeldAndTheyAreCountedBeforeAnyFieldIsRead) {
  for (int i = 0; i < 32; ++i)
    ASSERT_EQ(answer(request({{"kind", "scroll"}, {"deltaY", 1}}))["ok"], true) << i;
  expectCode(Json::object(), "prepared_limit", "too many prepared actions");
  EXPECT_EQ(held(), 32u);
  advanceClockForTests(Seconds(31));  // every record expires and is swept
  EXPECT_EQ(answer(request({{"kind", "scroll"}, {"deltaY", 1}}))["ok"], true);
  EXPECT_EQ(held(), 1u);
}

TEST_F(PrepareTest, KindTextAndClearFirstChecksComeInOrder) {
  expectCode(request({{"kind", "Key"}}), "bad_action", "action kind blocked");
  expectCode(request({{"kind", "type"}, {"clearFirst", false}}), "clear_first_blocked",
             "type replacement is not available");
  expectCode(request({{"kind", "type"}}, {{"clearFirst", nullptr}}), "clear_first_blocked");
  expectCode(request({{"kind", "type"}}, {{"textChunks", {"abc", ""}}}), "bad_text_chunk",
             "text chunk must contain 1-16 Unicode scalars");
  expectCode(request({{"kind", "type"}}, {{"textChunks", {"abc", 5}}}), "bad_text_chunk");
  std::string emoji16;
  for (int i = 0; i < 16; ++i)
    emoji16 += "\xF0\x9F\x98\x80";
  // Sixteen emoji pass the chunk rule and reach the value-state rule.
  expectCode(request({{"kind", "type"}}, {{"textChunks", {emoji16}}}),
             "expected_value_state_required", "type requires exact observed value state");
  expectCode(request({{"kind", "type"}}, {{"textChunks", {emoji16 + "\xF0\x9F\x98\x80"}}}),
             "bad_text_chunk");
  Json exact = Json::array();
  for (int i = 0; i < 2048; ++i)
    exact.push_back(std::string(16, 'a'));  // 32,768 bytes
  expectCode(request({{"kind", "type"}}, {{"textChunks", exact}}), "expected_value_state_required");
  exact.push_back("b");
  expectCode(request({{"kind", "type"}}, {{"textChunks", exact}}), "text_oversize",
             "text exceeds limit");
  expectCode(request({{"kind", "type"}}, {{"textChunks", "abc"}}), "empty_text",
             "type requires non-empty text");
  EXPECT_EQ(held(), 0u);
}

TEST_F(PrepareTest, TypeNeedsTheExactValueTheOwnerSaw) {
  registerElement("field", "element:field", "AXTextField");
  Json state = {{"fingerprint", valueStateFingerprint("Hi")}, {"scalarLength", 2}};
  Json good = answer(request(
      {{"kind", "type"}},
      {{"textChunks", {"ab", "cd"}},
       {"resolvedElement", {{"backendRef", "element:field"}, {"expectedValueState", state}}}}));
  ASSERT_EQ(good["ok"], true) << good.dump();
  EXPECT_EQ(good["method"], "uia");
  EXPECT_EQ(good["expectedAfterValueState"],
            (Json{{"fingerprint", valueStateFingerprint("Hiabcd")}, {"scalarLength", 6}}));

  // Naming the element without a value state is a stale state, not a missing one.
  expectCode(request({{"kind", "type"}}, {{"textChunks", {"x"}},
                                          {"resolvedElement", {{"backendRef", "element:field"}}}}),
             "stale_value_state", "value changed after observation");
  Json wrongLength = {{"fingerprint", valueStateFingerprint("Hi")}, {"scalarLength", 3}};
  expectCode(request({{"kind", "type"}},
                     {{"textChunks", {"x"}},
                      {"resolvedElement",
                       {{"backendRef", "element:field"}, {"expectedValueState", wrongLength}}}}),
             "stale_value_state");
  Json noLength = {{"fingerprint", "f"}};
  expectCode(request({{"kind", "type"}},
                     {{"textChunks", {"x"}},
                      {"resolvedElement",
                       {{"backendRef", "element:field"}, {"expectedValueState", noLength}}}}),
             "bad_value_state", "expected value state invalid");
  // Only a writable text field is typed into. (A secure field never gets this far: the surface
  // scan of the probe refuses its whole window.)
  registerElement("ok", "element:ok", "AXButton");
  Json buttonState = {{"fingerprint", valueStateFingerprint("")}, {"scalarLength", 0}};
  expectCode(request({{"kind", "type"}},
                     {{"textChunks", {"x"}},
                      {"resolvedElement",
                       {{"backendRef", "element:ok"}, {"expectedValueState", buttonState}}}}),
             "stale_element", "writable text value is required for type");
  EXPECT_EQ(held(), 1u);
}

TEST_F(PrepareTest, ResultingValueIsBoundedInScalars) {
  for (int filled : {32765, 32766}) {
    std::string value(static_cast<std::size_t>(filled), 'v');
    test::controlDesktop(test::setAttribute(TARGET_PID, "field", "AXValue", value));
    registerElement("field", "element:field", "AXTextField");
    Json state = {{"fingerprint", valueStateFingerprint(value)}, {"scalarLength", filled}};
    Json reply = answer(request(
        {{"kind", "type"}},
        {{"textChunks", {"abc"}},
         {"resolvedElement", {{"backendRef", "element:field"}, {"expectedValueState", state}}}}));
    if (filled == 32765) {
      EXPECT_EQ(reply["expectedAfterValueState"]["scalarLength"], 32768) << reply.dump();
    } else {
      EXPECT_EQ(reply["code"], "value_oversize");
      EXPECT_EQ(reply["message"], "resulting value exceeds bounded input limit");
    }
  }
}

TEST_F(PrepareTest, StaleReferencesAndTransitions) {
  expectCode(request({{"kind", "click"}}, {{"resolvedElement", {{"backendRef", "element:gone"}}}}),
             "stale_element", "element reference expired or belongs to another target");
  expectCode(request({{"kind", "click"}}, {{"resolvedElement", {{"backendRef", ""}}}}),
             "bad_request", "field backendRef required");
  registerElement("ok", "element:ok", "AXButton");
  {
    // The same reference registered for another window of the process.
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    auto moved = std::make_shared<ElementEntry>(*s.elements.at("element:ok"));
    moved->identity.win = TARGET_WINDOW + 1;
    s.elements["element:other"] = moved;
  }
  expectCode(request({{"kind", "click"}}, {{"resolvedElement", {{"backendRef", "element:other"}}}}),
             "stale_element");
  Json check = {{"kind", "check"}, {"before", "off"}, {"after", "on"}};
  expectCode(
      request({{"kind", "click"}},
              {{"resolvedElement", {{"backendRef", "element:ok"}, {"expectedTransition", check}}}}),
      "bad_transition", "expected element transition invalid");
  Json noBefore = {{"kind", "toggle"}, {"after", "on"}};
  expectCode(request({{"kind", "click"}},
                     {{"resolvedElement",
                       {{"backendRef", "element:ok"}, {"expectedTransition", noBefore}}}}),
             "bad_transition");
  Json toggle = {{"kind", "toggle"}, {"before", "off"}, {"after", "on"}};
  Json reply = answer(request(
      {{"kind", "click"}},
      {{"resolvedElement", {{"backendRef", "element:ok"}, {"expectedTransition", toggle}}}}));
  auto prepared = record(reply["preparedId"]);
  EXPECT_EQ(prepared->transitionKind, "toggle");
  EXPECT_EQ(prepared->stateAfter, "on");
  // An expired registration is stale too.
  advanceClockForTests(Seconds(30));
  expectCode(request({{"kind", "click"}}, {{"resolvedElement", {{"backendRef", "element:ok"}}}}),
             "stale_element");
}

TEST_F(PrepareTest, FallbackPointsAreHalfOpenInsideTheWindow) {
  // The window spans x 100..740 and y 80..560.
  EXPECT_EQ(
      answer(request({{"kind", "click"}}, {{"fallbackPoint", {{"x", 100}, {"y", 80}}}}))["ok"],
      true);
  expectCode(request({{"kind", "click"}}, {{"fallbackPoint", {{"x", 740}, {"y", 100}}}}),
             "point_outside", "fallback point outside exact window");
  expectCode(request({{"kind", "click"}}, {{"fallbackPoint", {{"x", 200}, {"y", 560}}}}),
             "point_outside");
  expectCode(request({{"kind", "click"}}, {{"fallbackPoint", {{"x", 200}}}}), "bad_point",
             "fallback point invalid");
  expectCode(request({{"kind", "click"}}, {{"fallbackPoint", {{"x", "200"}, {"y", 90}}}}),
             "bad_point");
  // 739.9 reads as 739, inside.
  EXPECT_EQ(
      answer(request({{"kind", "click"}}, {{"fallbackPoint", {{"x", 739.9}, {"y", 90}}}}))["ok"],
      true);
}

TEST_F(PrepareTest, ScrollDeltasAreSignsAndTheDefaultPointIsTheCentre) {
  Json reply = answer(request({{"kind", "scroll"}, {"deltaY", 7}, {"deltaX", -0.5}}));
  auto prepared = record(reply["preparedId"]);
  EXPECT_EQ(prepared->deltaY, 1);
  EXPECT_EQ(prepared->deltaX, 0);
  EXPECT_EQ(prepared->method, "send-input");
  EXPECT_EQ(prepared->point->x, 420);
  EXPECT_EQ(prepared->point->y, 320);
  expectCode(request({{"kind", "scroll"}, {"deltaY", -0.5}}), "zero_scroll",
             "scroll requires a non-zero axis");
  // A request-level scroll object without deltas overrides the action's.
  expectCode(request({{"kind", "scroll"}, {"deltaY", 3}}, {{"scroll", Json::object()}}),
             "zero_scroll");
  reply = answer(request({{"kind", "scroll"}}, {{"scroll", {{"deltaX", -2}}}}));
  EXPECT_EQ(record(reply["preparedId"])->deltaX, -1);
  registerElement("ok", "element:ok", "AXButton");
  reply = answer(request({{"kind", "scroll"}, {"deltaY", 1}},
                         {{"resolvedElement", {{"backendRef", "element:ok"}}}}));
  EXPECT_FALSE(record(reply["preparedId"])->point.has_value());
}

TEST_F(PrepareTest, KeysAndTheClipboardSequence) {
  expectCode(request({{"kind", "key"}, {"key", "F13"}}), "key_blocked", "key is not allowlisted");
  expectCode(request({{"kind", "key"}}), "key_blocked");
  EXPECT_EQ(answer(request({{"kind", "key"}, {"key", "Enter"}}, {{"key", ""}}))["method"],
            "send-input");
  expectCode(request({{"kind", "key"}, {"key", "Ctrl+C"}, {"expectedClipboardSequence", 0}}),
             "bad_action", "clipboard sequence is accepted only for Ctrl+V");
  for (Json bad : {Json(4294967296LL), Json(-1), Json("7"), Json(true), Json(nullptr)}) {
    expectCode(request({{"kind", "key"}, {"key", "Ctrl+V"}, {"expectedClipboardSequence", bad}}),
               "clipboard_sequence_required", "Ctrl+V requires the run's own clipboard sequence");
  }
  expectCode(request({{"kind", "key"}, {"key", "Ctrl+V"}, {"expectedClipboardSequence", 6}}),
             "clipboard_changed", "clipboard changed after the run's own copy");
  EXPECT_EQ(
      answer(request({{"kind", "key"}, {"key", "Ctrl+V"}, {"expectedClipboardSequence", 7}}))["ok"],
      true);
  test::controlDesktop({{"op", "set-pasteboard"}, {"count", 4294967295LL}});
  EXPECT_EQ(
      answer(request(
          {{"kind", "key"}, {"key", "Ctrl+V"}, {"expectedClipboardSequence", 4294967295LL}}))["ok"],
      true);
}

TEST_F(PrepareTest, TheFrontWindowChangingBeforeRegistrationRefusesIt) {
  Json fields = request({{"kind", "scroll"}, {"deltaY", 1}});
  test::controlDesktop({{"op", "add-app"}, {"app", appEntry(9004300, "other")}});
  test::controlDesktop({{"op", "add-window"},
                        {"window", windowRow(300, 9004300, "Other", {0, 0, 50, 50})},
                        {"to", 1}});
  // The probe reads the window list twice; the re-check before registration is the third read.
  test::onCall("platformWindowList", 0, 3, [] {
    test::controlDesktop({{"op", "restack"}, {"number", 300}, {"to", 0}});
  });
  expectCode(fields, "foreground_changed", "foreground changed during prepare");
  EXPECT_EQ(held(), 0u);
}

TEST_F(PrepareTest, ExpectedStateMustStillHold) {
  Json fields = request({{"kind", "scroll"}, {"deltaY", 1}});
  test::controlDesktop({{"op", "retitle"}, {"number", TARGET_WINDOW}, {"title", "Draft 2"}});
  Json reply = answer(fields);
  EXPECT_EQ(reply["ok"], false);
  EXPECT_EQ(held(), 0u);
}

}  // namespace
}  // namespace qcu
