// "observe" end to end on the simulated desktop: the walk and its paths, what is emitted and
// what is only read out, refusals, stability, the screenshot, the size control, and the
// one-answer guarantee between the worker, its timer and cancellation.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "desktop/sim/sim.h"
#include "foundation/clock.h"
#include "foundation/limits.h"
#include "foundation/text.h"
#include "observation/observe.h"
#include "runtime/lifecycle.h"
#include "session/state.h"
#include "support/harness.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using Json = nlohmann::json;
using test::TARGET_PID;
using test::TARGET_WINDOW;

// An element with a frame inside the window.
Json inWindow(Json element, double x = 120, double y = 100, double width = 80, double height = 20) {
  return test::framed(std::move(element), {x, y, width, height});
}

Json shownButton(const std::string& title) {
  return inWindow(test::button(title));
}

Json shownText(const std::string& text) {
  return inWindow(test::staticText(text));
}

Json shownGroup(Json children, Json extra = Json::object()) {
  Json node = inWindow(test::group(std::move(children)));
  node.update(extra);
  return node;
}

bool contains(const Json& list, const std::string& value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

class ObserveTest : public ::testing::Test {
 protected:
  void SetUp() override { test::resetHarness(); }
  void TearDown() override {
    release();
    EXPECT_TRUE(drained(15)) << "observation work still running";
    sim::setHook({});
    test::resetHarness();
  }

  // The application with one window in front whose children are given.
  static void loadWindow(Json children) { test::loadDesktop(test::targetDesktop(children)); }

  static void send(const std::string& id) {
    test::sendRequest("observe", id,
                      {{"identity", test::identOf(TARGET_PID, TARGET_WINDOW).object()}});
  }

  // Sends one "observe" and returns its answer.
  static Json observe(const std::string& id) {
    send(id);
    return test::answerTo(id);
  }

  static Json observation(const std::string& id) {
    Json answer = observe(id);
    EXPECT_EQ(answer["ok"], true) << answer.dump();
    EXPECT_EQ(answer["type"], "observe");
    return answer["observation"];
  }

  static void expectError(const std::string& id, const std::string& code,
                          const std::string& message) {
    test::expectRefusal(observe(id), code, message);
  }

  static bool drained(double seconds) {
    const auto until = std::chrono::steady_clock::now() + Seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
      {
        State& s = state();
        std::lock_guard<std::recursive_mutex> guard(s.lock);
        if (s.activeObservations.empty()) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  static std::map<std::string, std::shared_ptr<const ElementEntry>> entries() {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    return s.elements;
  }

  // A hook that holds the first walk's reads until release() is called.
  void holdFirstWalk() {
    auto armed = std::make_shared<std::atomic<bool>>(true);
    sim::setHook([this, armed](const sim::Call& call) {
      if (call.function != "platformCopyAttribute" || call.name != "AXRole" ||
          call.pid != TARGET_PID) {
        return;
      }
      if (!armed->exchange(false)) return;
      std::unique_lock<std::mutex> guard(holdLock_);
      held_ = true;
      holdChanged_.notify_all();
      holdChanged_.wait(guard, [this] { return released_; });
    });
  }
  void waitUntilHeld() {
    std::unique_lock<std::mutex> guard(holdLock_);
    ASSERT_TRUE(holdChanged_.wait_for(guard, std::chrono::seconds(10), [this] { return held_; }))
        << "the first walk did not reach its first role read within 10 s";
  }
  void release() {
    std::lock_guard<std::mutex> guard(holdLock_);
    released_ = true;
    holdChanged_.notify_all();
  }

 private:
  std::mutex holdLock_;  // guards held_ and released_
  std::condition_variable holdChanged_;
  bool held_ = false;
  bool released_ = false;
};

TEST_F(ObserveTest, WalkPathsReferencesAndElementObjects) {
  // Breadth-first: 0 outer (0), 1 Top (0), 2 inner (0.0), 3 a (0.0.0), 4 b (0.0.1), 5 Deep (0.0.2).
  Json inner = shownGroup({shownText("a"), shownText("b"), shownButton("Deep")},
                          {{"title", "Inner"}, {"actions", {"AXPress"}}});
  loadWindow({shownGroup({inner}), shownButton("Top")});
  const Ident ident = test::identOf(TARGET_PID, TARGET_WINDOW);
  Json result = observation("o1");

  EXPECT_EQ(result["observationVersion"], 1);
  const std::string id = result["observationId"];
  EXPECT_TRUE(test::isOpaqueId(id, "observation")) << id;
  EXPECT_EQ(result["text"], "Top\nInner\na\nb\nDeep");
  EXPECT_EQ(result["omissions"], Json::array({"ocr-not-implemented-on-macos"}));
  EXPECT_EQ(result["probe"]["title"], "Draft");
  EXPECT_EQ(result["probe"]["identity"], ident.object());
  EXPECT_EQ(result["screenshotDataUrl"].get<std::string>().rfind("data:image/png;base64,", 0), 0u);

  const Json& elements = result["elements"];
  ASSERT_EQ(elements.size(), 3u);
  struct Expected {
    const char* role;
    const char* label;
  };
  const Expected expected[] = {{"Button", "Top"}, {"Group", "Inner"}, {"Button", "Deep"}};
  auto stored = entries();
  EXPECT_EQ(stored.size(), 3u);
  std::set<std::string> refs;
  std::set<std::string> fingerprints;
  for (std::size_t i = 0; i < 3; ++i) {
    const Json& element = elements[i];
    const Expected& e = expected[i];
    const std::string ref = element["backendRef"];
    EXPECT_TRUE(test::isOpaqueId(ref, "element")) << ref;
    refs.insert(ref);
    fingerprints.insert(element["semanticFingerprint"].get<std::string>());
    EXPECT_TRUE(test::isLowerHex(element["semanticFingerprint"].get<std::string>(), 64));
    EXPECT_EQ(element["role"], e.role);
    EXPECT_EQ(element["label"], e.label);
    EXPECT_EQ(element["isPassword"], false);
    EXPECT_EQ(element["supportedActions"], Json::array({"click"}));
    EXPECT_EQ(element["bounds"],
              (Json{{"left", 120}, {"top", 100}, {"width", 80}, {"height", 20}}));
    EXPECT_FALSE(element.contains("state"));
    ASSERT_TRUE(stored.contains(ref));
    const ElementEntry& entry = *stored[ref];
    EXPECT_EQ(entry.identity, ident);
    EXPECT_EQ(entry.role, std::string("AX") + e.role);
    EXPECT_EQ(entry.label, e.label);
    EXPECT_EQ(entry.fingerprint, element["semanticFingerprint"]);
    // Thirty seconds to live, less what the walk took (with seconds of slack for a loaded
    // machine).
    const double ttl = Seconds(entry.expires - wallNow()).count();
    EXPECT_GT(ttl, 20);
    EXPECT_LE(ttl, 30);
  }
  EXPECT_EQ(refs.size(), 3u);
  EXPECT_EQ(fingerprints.size(), 3u);

  // A second observation replaces the references and counts on; the unchanged elements keep
  // their fingerprints.
  Json again = observation("o2");
  EXPECT_EQ(again["observationVersion"], 2);
  EXPECT_TRUE(test::isOpaqueId(again["observationId"].get<std::string>(), "observation"));
  EXPECT_NE(again["observationId"], id);
  ASSERT_EQ(again["elements"].size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(again["elements"][i]["semanticFingerprint"], elements[i]["semanticFingerprint"]);
    EXPECT_NE(again["elements"][i]["backendRef"], elements[i]["backendRef"]);
  }
  for (const auto& [ref, entry] : entries())
    EXPECT_FALSE(stored.contains(ref));
}

TEST_F(ObserveTest, StatesAndValueStatesNeverTheValue) {
  const std::string secret = "s3cret-draft-text";
  std::string emoji;
  for (int i = 0; i < 32768; ++i)
    emoji += "\U0001F600";  // 32768 scalars, 65536 UTF-16 units
  loadWindow(
      {inWindow(
           {{"role", "AXCheckBox"}, {"title", "Bold"}, {"value", 1}, {"actions", {"AXPress"}}}),
       inWindow({{"role", "AXTextField"}, {"value", secret}, {"settable", {"AXValue"}}}),
       inWindow({{"role", "AXTextField"}, {"value", emoji}, {"settable", {"AXValue"}}}),
       inWindow({{"role", "AXTextArea"},
                 {"value", std::string(40000, 'a')},
                 {"settable", {"AXValue"}}})});
  send("o1");
  ASSERT_TRUE(test::waitForMessages(1, 10)) << "no answer to o1";
  const auto lines = test::takeLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].find(secret), std::string::npos);
  const Json elements = Json::parse(lines[0])["observation"]["elements"];
  ASSERT_EQ(elements.size(), 4u);
  EXPECT_EQ(elements[0]["state"], "on");
  EXPECT_FALSE(elements[0].contains("valueState"));
  EXPECT_EQ(elements[1]["supportedActions"], Json::array({"type"}));
  EXPECT_EQ(elements[1]["valueState"], (Json{{"fingerprint", valueStateFingerprint(secret)},
                                             {"scalarLength", secret.size()}}));
  EXPECT_EQ(elements[2]["valueState"]["scalarLength"], 32768);
  EXPECT_FALSE(elements[3].contains("valueState"));
  for (const auto& [ref, entry] : entries()) {
    EXPECT_EQ(entry->stateKind,
              entry->role == "AXCheckBox" ? std::optional<std::string>("toggle") : std::nullopt);
  }
}

TEST_F(ObserveTest, WireRolesLoseTheirFirstTwoCharacters) {
  const auto pressable = [](const std::string& role) {
    return inWindow({{"role", role}, {"actions", {"AXPress"}}});
  };
  // A letter with a combining ring is one character; so is a CR LF pair.
  loadWindow({pressable("AXButton"), pressable("A\u030AXCustom"), pressable("\r\nRole\nX"),
              pressable("X"), pressable("AX" + std::string(100, 'r'))});
  const Json elements = observation("o1")["elements"];
  ASSERT_EQ(elements.size(), 5u);
  EXPECT_EQ(elements[0]["role"], "Button");
  EXPECT_EQ(elements[1]["role"], "Custom");
  EXPECT_EQ(elements[2]["role"], "ole X");
  EXPECT_EQ(elements[3]["role"], "");
  EXPECT_EQ(elements[4]["role"], std::string(80, 'r'));
}

TEST_F(ObserveTest, TheWalkVisitsAtMost300Positions) {
  Json texts = Json::array();
  for (int i = 0; i < 500; ++i)
    texts.push_back(shownText("Item " + std::to_string(i)));
  loadWindow(texts);
  Json result = observation("o1");
  EXPECT_TRUE(contains(result["omissions"], "element-limit"));
  const std::string text = result["text"];
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 299);
  EXPECT_EQ(text.substr(text.rfind('\n') + 1), "Item 299");

  // Exactly 300 positions is no limit; one more is.
  texts.erase(texts.begin() + 300, texts.end());
  loadWindow(texts);
  EXPECT_FALSE(contains(observation("o2")["omissions"], "element-limit"));
  texts.push_back(shownText("one more"));
  loadWindow(texts);
  EXPECT_TRUE(contains(observation("o3")["omissions"], "element-limit"));
}

TEST_F(ObserveTest, UnreadableDisabledAndOffWindowElements) {
  // An element whose role cannot be read is skipped with its whole subtree.
  Json unreadable = shownGroup({shownButton("Hidden")}, {{"role", nullptr}});
  Json mistyped = shownGroup({shownButton("Also hidden")}, {{"role", 7}});
  // Disabled, off-window and empty elements are not read out or offered; their children are.
  Json disabled = shownGroup({shownButton("In disabled")},
                             {{"enabled", false}, {"title", "Disabled"}, {"actions", {"AXPress"}}});
  Json away = inWindow({{"role", "AXGroup"},
                        {"title", "Away"},
                        {"actions", {"AXPress"}},
                        {"children", {shownButton("In away")}}},
                       2000, 2000);
  Json empty = inWindow({{"role", "AXButton"}, {"title", "Empty"}, {"actions", {"AXPress"}}}, 120,
                        100, 0, 20);
  Json frameless = {{"role", "AXButton"}, {"title", "Frameless"}, {"actions", {"AXPress"}}};
  // Touching the window's right edge from outside is not inside.
  Json edge =
      inWindow({{"role", "AXButton"}, {"title", "Edge"}, {"actions", {"AXPress"}}}, 740, 100);
  loadWindow({unreadable, mistyped, disabled, away, empty, frameless, edge, shownText("Hello")});
  Json result = observation("o1");
  EXPECT_TRUE(contains(result["omissions"], "stale-element-omitted"));
  EXPECT_EQ(result["text"], "Hello\nIn disabled\nIn away");
  ASSERT_EQ(result["elements"].size(), 2u);
  EXPECT_EQ(result["elements"][0]["label"], "In disabled");
  EXPECT_EQ(result["elements"][1]["label"], "In away");
}

TEST_F(ObserveTest, TextBudgetKeepsLaterLabelsThatFit) {
  // 300 three-byte characters: 900 bytes, 901 with the line feed; 18 of them take 16218 bytes.
  std::string wide;
  for (int i = 0; i < 300; ++i)
    wide += "\u6F22";
  Json texts = Json::array();
  for (int i = 0; i < 19; ++i)
    texts.push_back(shownText(wide));
  texts.push_back(shownText("OK"));
  loadWindow(texts);
  Json result = observation("o1");
  EXPECT_TRUE(contains(result["omissions"], "text-limit"));
  const std::string text = result["text"];
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 18);
  EXPECT_EQ(text.substr(text.size() - 3), "\nOK");
  EXPECT_EQ(text.size(), 18u * 901 - 1 + 3);
}

TEST_F(ObserveTest, RefusalsKeepThePreviousReferences) {
  loadWindow({shownGroup({shownButton("Save")}, {{"id", "box"}})});
  observation("o1");
  const auto before = entries();
  ASSERT_EQ(before.size(), 1u);

  // A password field anywhere refuses everything.
  test::controlDesktop({{"op", "add-node"},
                        {"pid", TARGET_PID},
                        {"parent", "box"},
                        {"node", {{"id", "pw"}, {"role", "AXSecureTextField"}}}});
  expectError("o2", "password_surface", "password descendant makes the whole surface unavailable");
  test::controlDesktop({{"op", "remove-node"}, {"pid", TARGET_PID}, {"node", "pw"}});
  test::controlDesktop(
      {{"op", "add-node"},
       {"pid", TARGET_PID},
       {"node",
        inWindow({{"id", "login"}, {"role", "AXTextField"}, {"title", "Sign in"}, {"value", ""}})},
       {"parent", "box"}});
  expectError("o3", "authentication_surface", "login, CAPTCHA or 2FA surface blocked");
  EXPECT_EQ(entries(), before);

  // Refusals after the window checks still used up a version.
  test::controlDesktop({{"op", "remove-node"}, {"pid", TARGET_PID}, {"node", "login"}});
  EXPECT_EQ(observation("o4")["observationVersion"], 4);
  EXPECT_NE(entries(), before);
}

TEST_F(ObserveTest, WindowLevelRefusals) {
  loadWindow({shownButton("Save")});
  test::controlDesktop({{"op", "lock"}});
  expectError("o1", "screen_locked", "interactive desktop unavailable");
  test::controlDesktop({{"op", "unlock"}});

  // The window element itself is a secure field.
  test::loadDesktop(
      {{"apps",
        {test::appEntry(
            TARGET_PID, "notes",
            {{{"window", TARGET_WINDOW}, {"title", "Draft"}, {"subrole", "AXSecureTextField"}}})}},
       {"windows", {test::targetRow()}}});
  expectError("o2", "password_surface", "password surface blocked");
  // No accessibility window for the row.
  test::loadDesktop(
      {{"apps", {test::appEntry(TARGET_PID, "notes")}}, {"windows", {test::targetRow()}}});
  expectError("o3", "ax_unavailable", "Accessibility window unavailable");
  // Neither refusal got as far as counting an observation.
  loadWindow(Json::array());
  EXPECT_EQ(observation("o4")["observationVersion"], 1);

  test::controlDesktop({{"op", "set-permissions"}, {"accessibility", false}});
  EXPECT_EQ(observe("o5")["code"], "accessibility_not_trusted");
}

TEST_F(ObserveTest, RequestChecksAnswerAtOnce) {
  loadWindow(Json::array());
  test::sendRequest("observe", "o1");
  auto messages = test::takeMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]["code"], "bad_request");
  EXPECT_EQ(messages[0]["message"], "field identity required");
  test::sendRequest("observe", "o2", {{"identity", {{"pid", TARGET_PID}}}});
  messages = test::takeMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]["code"], "bad_identity");
  EXPECT_TRUE(drained(1));
}

TEST_F(ObserveTest, TitleOrGeometryChangingDuringTheWalk) {
  loadWindow({shownButton("A"), shownButton("B"), shownButton("C")});
  test::onCall("platformCopyAttribute", TARGET_PID, 8, [] {
    test::controlDesktop({{"op", "retitle"}, {"number", TARGET_WINDOW}, {"title", "Draft 2"}});
  });
  expectError("o1", "target_changed", "window title, geometry or DPI changed during observation");
  EXPECT_TRUE(entries().empty());

  loadWindow({shownButton("A"), shownButton("B"), shownButton("C")});
  test::onCall("platformCopyAttribute", TARGET_PID, 8, [] {
    test::controlDesktop(
        {{"op", "move"}, {"number", TARGET_WINDOW}, {"bounds", {101, 80, 640, 480}}});
  });
  expectError("o2", "target_changed", "window title, geometry or DPI changed during observation");
}

TEST_F(ObserveTest, ScreenshotOnlyInFrontAndItsOmissions) {
  loadWindow({shownButton("Save"), shownText("Hello")});
  test::controlDesktop({{"op", "add-app"}, {"app", test::appEntry(9004401, "other")}});
  test::controlDesktop(
      {{"op", "add-window"}, {"window", test::windowRow(300, 9004401, "Other", {0, 0, 50, 50})}});
  Json result = observation("o1");
  EXPECT_EQ(result["elements"].size(), 1u);
  EXPECT_EQ(result["text"], "Save\nHello");
  EXPECT_FALSE(result.contains("screenshotDataUrl"));
  EXPECT_EQ(result["omissions"], Json::array({"ocr-not-implemented-on-macos",
                                              "screenshot-unavailable-or-not-foreground"}));
  EXPECT_TRUE(sim::capturePaths().empty());

  test::controlDesktop({{"op", "remove-window"}, {"number", 300}});
  test::controlDesktop({{"op", "set-capture"}, {"window", TARGET_WINDOW}, {"result", "fail"}});
  result = observation("o2");
  EXPECT_FALSE(result.contains("screenshotDataUrl"));
  EXPECT_TRUE(contains(result["omissions"], "screenshot-unavailable"));
  EXPECT_EQ(sim::capturePaths().size(), 1u);
}

TEST_F(ObserveTest, LargeAnswersShedTheScreenshotThenTenthsOfTheElements) {
  Json buttons = Json::array();
  for (int i = 0; i < 300; ++i) {
    std::string label = std::to_string(1000 + i) + std::string(296, 'x');
    buttons.push_back(shownButton(label));
  }
  loadWindow(buttons);
  send("o1");
  ASSERT_TRUE(test::waitForMessages(1, 10)) << "no answer to o1";
  const auto lines = test::takeLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_LE(lines[0].size(), MAX_MESSAGE_BYTES);
  const Json result = Json::parse(lines[0])["observation"];
  EXPECT_FALSE(result.contains("screenshotDataUrl"));
  EXPECT_TRUE(contains(result["omissions"], "response-size-limit"));
  EXPECT_FALSE(contains(result["omissions"], "screenshot-unavailable"));

  // The count is the first of 300, 270, 243, 219, ... whose answer fits.
  const std::size_t kept = result["elements"].size();
  std::size_t previous = 300;
  std::size_t count = 300;
  while (count > kept) {
    previous = count;
    count -= std::max<std::size_t>(1, count / 10);
  }
  EXPECT_EQ(count, kept);
  const Json wrapped = {{"observation", result}};
  const std::size_t size = wrapped.dump().size();
  EXPECT_LE(size, OBSERVATION_RESPONSE_BYTES);
  const std::size_t perElement = result["elements"][0].dump().size() + 1;
  EXPECT_GT(size + (previous - kept) * perElement, OBSERVATION_RESPONSE_BYTES);
  // The elements kept are the first ones, and every reference still resolves.
  EXPECT_EQ(result["elements"][kept - 1]["label"].get<std::string>().substr(0, 4),
            std::to_string(1000 + kept - 1));
  EXPECT_EQ(entries().size(), 300u);
}

TEST_F(ObserveTest, EscapedTextIsShedInTheLastResort) {
  // Control characters count one byte each in the text budget but take six once encoded.
  Json texts = Json::array();
  for (int i = 0; i < 300; ++i)
    texts.push_back(shownText(std::string(60, '\x01')));
  loadWindow(texts);
  send("o1");
  ASSERT_TRUE(test::waitForMessages(1, 10)) << "no answer to o1";
  const auto lines = test::takeLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_LE(lines[0].size(), MAX_MESSAGE_BYTES);
  const Json answer = Json::parse(lines[0]);
  ASSERT_EQ(answer["ok"], true) << lines[0].substr(0, 200);
  const Json& result = answer["observation"];
  EXPECT_TRUE(contains(result["omissions"], "response-size-limit"));
  const Json wrapped = {{"observation", result}};
  EXPECT_LE(wrapped.dump().size(), OBSERVATION_RESPONSE_BYTES);
  // The answer is not the oversize substitute: whole lines from the start are kept.
  const std::string text = result["text"];
  EXPECT_GT(text.size(), 5000u);
  EXPECT_EQ(text.size() % 61, 60u) << "a line was cut";
}

TEST_F(ObserveTest, ObservationsRunOneAtATimeInArrivalOrder) {
  loadWindow({shownButton("Save")});
  holdFirstWalk();
  send("o1");
  waitUntilHeld();
  send("o2");
  // The same request id cannot be registered twice while it runs.
  test::expectSafeError(
      [] {
        handleObserve("o1", {{"identity", test::identOf(TARGET_PID, TARGET_WINDOW).object()}});
      },
      "observe_active", "observation already active");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(test::takeLines().empty()) << "the second observation did not wait";
  release();
  ASSERT_TRUE(test::waitForMessages(2, 10)) << "no answers to o1 and o2";
  auto messages = test::takeMessages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0]["requestId"], "o1");
  EXPECT_EQ(messages[0]["observation"]["observationVersion"], 1);
  EXPECT_EQ(messages[1]["requestId"], "o2");
  EXPECT_EQ(messages[1]["observation"]["observationVersion"], 2);
}

TEST_F(ObserveTest, TimedOutObservationsAreAnsweredOnceThenStopSilently) {
  loadWindow({shownButton("Save")});
  holdFirstWalk();
  send("o1");
  waitUntilHeld();
  send("o2");
  // Both timers fire five seconds after their requests; the first worker is still held and the
  // second has not started.
  ASSERT_TRUE(test::waitForMessages(2, 10)) << "no time-outs for o1 and o2";
  release();
  EXPECT_TRUE(drained(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto messages = test::takeMessages();
  ASSERT_EQ(messages.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(messages[i]["requestId"], i == 0 ? "o1" : "o2");
    EXPECT_EQ(messages[i]["code"], "observe_timeout");
    EXPECT_EQ(messages[i]["message"], "observation exceeded bounded deadline");
  }
  EXPECT_TRUE(entries().empty());
}

TEST_F(ObserveTest, CancelDuringTheWalkAnswersOnce) {
  loadWindow({shownButton("A"), shownButton("B")});
  test::onCall("platformCopyAttribute", TARGET_PID, 8, [] { cancelEverything(); });
  const auto sent = std::chrono::steady_clock::now();
  expectError("o1", "observe_cancelled", "observation cancelled");
  EXPECT_TRUE(drained(2));
  // The timer comes and finds the answer given.
  std::this_thread::sleep_until(sent + std::chrono::milliseconds(5300));
  EXPECT_TRUE(test::takeLines().empty());
}

TEST_F(ObserveTest, TheBudgetIsCheckedAtEveryElement) {
  loadWindow({shownButton("A"), shownButton("B")});
  test::onCall("platformCopyAttribute", TARGET_PID, 8, [] { advanceClockForTests(Seconds(5.01)); });
  expectError("o1", "observe_timeout", "observation exceeded bounded deadline");
}

}  // namespace
}  // namespace qcu
