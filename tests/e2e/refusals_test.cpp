// The refusals on real windows, through the real helper over pipes: surfaces the policy must
// not operate, an application that stops answering, the user's own input during a commit and a
// window that closes mid-session.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/owner.h"

namespace qcu::test {
namespace {

using SteadyClock = std::chrono::steady_clock;

double secondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// Asks until the helper refuses (the application's change reaches the accessibility bus a little
// later); returns the refusal, or the last answer (and a test failure) when none comes in time.
Json askUntilRefused(OwnerSession& owner, const std::string& type, const Json& fields,
                     double timeoutSeconds = 20) {
  const auto start = SteadyClock::now();
  Json answer;
  do {
    answer = owner.ask(type, fields);
    if (answer["ok"] == false) return answer;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (secondsSince(start) < timeoutSeconds);
  ADD_FAILURE() << type << " was not refused within " << timeoutSeconds
                << " s; last answer: " << answer.dump().substr(0, 2000);
  return answer;
}

// Lists until no candidate belongs to pid and something is withheld; returns the listing.
Json listUntilWithheld(OwnerSession& owner, pid_t pid, double timeoutSeconds = 20) {
  const auto start = SteadyClock::now();
  Json listing;
  do {
    listing = owner.ask("list_candidates");
    bool listed = false;
    for (const Json& candidate : listing.value("candidates", Json::array()))
      listed = listed || candidate["identity"]["pid"] == pid;
    if (listing["ok"] == true && !listed && !listing.value("skipped", Json::object()).empty()) {
      return listing;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (secondsSince(start) < timeoutSeconds);
  ADD_FAILURE() << "the window of " << pid << " was still listed (or nothing withheld) after "
                << timeoutSeconds << " s: " << listing;
  return listing;
}

class RefusalTest : public BoundFormTest {
 protected:
  Json observeFields() const { return {{"identity", owner.identity}}; }
};

// A field that takes a secret makes the whole window unobservable.
TEST_F(RefusalTest, SecretFieldsInTheWindowRefuseObservation) {
  struct Case {
    Json node;
    const char* code;
  };
  const Case cases[] = {
      {{{"id", "pw"}, {"role", "AXSecureTextField"}, {"title", "PIN"}}, "password_surface"},
      {{{"id", "pw"}, {"role", "AXTextField"}, {"placeholder", "Password"}},
       "authentication_surface"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.node.dump());
    ASSERT_EQ(app.command({{"op", "add-node"}, {"number", 101}, {"node", c.node}})["ok"], true);
    Json refused = askUntilRefused(owner, "observe", observeFields());
    EXPECT_EQ(refused["code"], c.code) << refused;
    ASSERT_EQ(app.command({{"op", "remove-node"}, {"node", "pw"}})["ok"], true);
    owner.observeUntilLabel("Send");  // usable again once the field is gone
  }
}

TEST_F(RefusalTest, SignInTitleIsWithheldAndRefused) {
  ASSERT_EQ(app.command({{"op", "retitle"}, {"number", 101}, {"title", "Sign in"}})["ok"], true);
  Json refused = askUntilRefused(owner, "observe", observeFields());
  expectRefusal(refused, "protected_target", "secure, credential or verification surface blocked");
  listUntilWithheld(owner, app.pid);
}

TEST_F(RefusalTest, TerminalIsNeverACandidate) {
  Child xterm = spawnChild("/usr/bin/xterm", {"-T", "Notes"});
  waitForWindows(xterm.pid, 1);
  Json listing = listUntilWithheld(owner, xterm.pid);
  EXPECT_EQ(listing["skipped"].value("blocked-application", 0), 1) << listing;
}

// A stopped application answers nothing: every request is still answered within its bound, and
// once the application runs again the session goes on.
TEST_F(RefusalTest, StoppedApplicationBoundsEveryRequestAndRecovers) {
  ASSERT_EQ(kill(app.pid, SIGSTOP), 0);
  constexpr double BOUND = 15;  // each request bounds its own work to a few seconds
  for (const char* type : {"ping", "observe", "list_candidates", "focus_binding"}) {
    const auto start = SteadyClock::now();
    Json answer =
        owner.ask(type, std::string(type) == "ping" ? Json::object() : observeFields(), BOUND);
    EXPECT_FALSE(answer.is_null()) << type << " not answered within " << BOUND << " s";
    EXPECT_LT(secondsSince(start), BOUND) << type;
    if (std::string(type) == "observe") EXPECT_EQ(answer["ok"], false) << answer;
  }
  const auto start = SteadyClock::now();
  Json click =
      owner.act({{"kind", "click"}}, {{"resolvedElement", resolved(owner.element("Send"))}});
  EXPECT_LT(secondsSince(start), 2 * BOUND) << click;
  EXPECT_FALSE(click.is_null());
  EXPECT_NE(click["readback"]["effectMatched"], true) << click;

  ASSERT_EQ(kill(app.pid, SIGCONT), 0);
  owner.observeUntilLabel("Send");
  Json committed =
      owner.act({{"kind", "click"}}, {{"resolvedElement", resolved(owner.element("I agree"))}});
  ASSERT_EQ(committed["ok"], true) << committed;
  EXPECT_EQ(committed["readback"]["effectMatched"], true) << committed;
}

// The user presses a key while the helper's click is being verified: the press of the button
// plays the user's input (xdotool, through the server's core devices) before it relabels the
// button, so the input lands after dispatch and before the readback.
TEST_F(RefusalTest, UserInputDuringACommitIsNotTakenForTheHelpers) {
  Json touch = {{"id", "touch"}, {"role", "AXButton"}, {"title", "Touch"}};
  ASSERT_EQ(app.command({{"op", "add-node"}, {"number", 101}, {"node", touch}})["ok"], true);
  Json effect = {{"on", {{"press", {{"node", "touch"}}}}},
                 {"commands",
                  {{{"op", "input"}, {"types", {10, 11}}},
                   {{"op", "set-attribute"},
                    {"node", "touch"},
                    {"attribute", "AXTitle"},
                    {"value", "Touched"}}}}};
  ASSERT_EQ(app.command({{"op", "add-effect"}, {"effect", effect}})["ok"], true);
  owner.observeUntilLabel("Touch");

  Json committed =
      owner.act({{"kind", "click"}}, {{"resolvedElement", resolved(owner.element("Touch"))}});
  ASSERT_FALSE(committed.is_null());
  if (committed["ok"] == true) {
    const Json& readback = committed["readback"];
    EXPECT_EQ(readback["matched"], false) << readback;
    EXPECT_EQ(readback["effectMatched"], false) << readback;
    EXPECT_TRUE(readback["detail"].get<std::string>().starts_with("uncertain")) << readback;
  } else {
    EXPECT_EQ(committed["code"], "hardware_input") << committed;
  }
  EXPECT_EQ(app.command({{"op", "get"}, {"node", "touch"}})["title"], "Touched");
  // The monitor reports the input too.
  std::vector<Json> others;
  auto isInput = [](const Json& m) {
    return m["type"] == "event" && m["event"]["type"] == "hardware-input";
  };
  bool reported = std::any_of(owner.events.begin(), owner.events.end(), isInput) ||
                  readUntil(owner.helper, isInput, others, 10).has_value();
  EXPECT_TRUE(reported);
}

TEST_F(RefusalTest, WindowClosingMidSessionIsReported) {
  ASSERT_EQ(app.command({{"op", "close-window"}, {"number", 101}})["ok"], true);
  std::vector<Json> others;
  auto destroyed = readUntil(
      owner.helper, [](const Json& m) { return m["type"] == "event"; }, others, 20);
  ASSERT_TRUE(destroyed.has_value());
  EXPECT_EQ((*destroyed)["event"]["type"], "target-destroyed") << *destroyed;
  EXPECT_EQ((*destroyed)["event"]["identity"], owner.identity);
  Json refused = owner.ask("observe", observeFields());
  EXPECT_EQ(refused["code"], "target_destroyed") << refused;
}

}  // namespace
}  // namespace qcu::test
