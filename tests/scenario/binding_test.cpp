// "probe_binding" and "focus_binding" on the simulated desktop: single-use leases, re-probing the
// current binding, and bringing the bound window to the front.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "binding/binding.h"
#include "desktop/platform.h"
#include "desktop/sim/sim.h"
#include "foundation/clock.h"
#include "foundation/errors.h"
#include "session/state.h"
#include "support/harness.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using test::appEntry;
using test::Json;
using test::windowNode;
using test::windowRow;

constexpr std::int32_t NOTES = 4400;
constexpr std::int32_t MAIL = 4401;
constexpr const char* USED = "candidate lease expired, used or mismatched";

// Mail's window in front of two Notes windows.
Json desktop() {
  Json inbox = windowNode(201, "Inbox");
  inbox["id"] = "inbox";
  return {{"apps",
           {appEntry(NOTES, "Notes", {windowNode(101, "Draft"), windowNode(102, "Outline")}),
            appEntry(MAIL, "Mail", {inbox})}},
          {"windows",
           {windowRow(201, MAIL, "Inbox", Rect{0, 0, 800, 600}),
            windowRow(101, NOTES, "Draft", Rect{50, 50, 500, 400}),
            windowRow(102, NOTES, "Outline", Rect{60, 60, 500, 400})}}};
}

class Binding : public ::testing::Test {
 protected:
  void SetUp() override {
    test::resetHarness();
    platformSetMessagingTimeout(1.0);
    unsetenv("QUORVEL_CU_FORCE_NO_PERMISSIONS");
    test::loadDesktop(desktop());
  }
  void TearDown() override {
    unsetenv("QUORVEL_CU_FORCE_NO_PERMISSIONS");
    test::resetHarness();
  }

  Json answer(const std::string& type, const Json& fields = Json::object()) {
    test::sendRequest(type, "r" + std::to_string(++requests_), fields);
    auto messages = test::takeMessages();
    EXPECT_EQ(messages.size(), 1u);
    return messages.empty() ? Json() : messages[0];
  }

  // Lists the candidates and returns the token of one window.
  std::string tokenFor(std::uint32_t window) {
    Json listing = answer("list_candidates");
    for (const auto& entry : listing["candidates"]) {
      if (entry["identity"]["hwnd"] == std::to_string(window)) return entry["candidateToken"];
    }
    ADD_FAILURE() << "window " << window << " not listed: " << listing;
    return {};
  }

  static Json identity(std::int32_t pid, std::uint32_t window) {
    return test::identOf(pid, window).object();
  }

  Json probe(std::int32_t pid, std::uint32_t window, const Json& token) {
    Json fields = {{"identity", identity(pid, window)}};
    if (!token.is_discarded()) fields["candidateToken"] = token;
    return answer("probe_binding", fields);
  }

  Json focus(std::int32_t pid, std::uint32_t window) {
    return answer("focus_binding", {{"identity", identity(pid, window)}});
  }

  static std::optional<Ident> selected() {
    std::lock_guard<std::recursive_mutex> guard(state().lock);
    return state().selected;
  }

  static std::size_t leaseCount() {
    std::lock_guard<std::recursive_mutex> guard(state().lock);
    return state().leases.size();
  }

  static void expectError(const Json& reply, const std::string& code, const std::string& message) {
    EXPECT_EQ(reply["ok"], false) << reply;
    EXPECT_EQ(reply["code"], code) << reply;
    EXPECT_EQ(reply["message"], message) << reply;
  }

  int requests_ = 0;
};

const Json NO_TOKEN = Json::value_t::discarded;

using Leases = Binding;

TEST_F(Leases, ATokenIsGoodForOneAttempt) {
  std::string token = tokenFor(101);
  Json bound = probe(NOTES, 101, token);
  ASSERT_EQ(bound["ok"], true) << bound;
  EXPECT_EQ(bound["type"], "probe_binding");
  EXPECT_EQ(bound["probe"]["identity"], identity(NOTES, 101));
  EXPECT_EQ(bound["probe"]["title"], "Draft");
  EXPECT_EQ(bound["probe"]["foreground"], false);
  EXPECT_EQ(selected(), test::identOf(NOTES, 101));
  expectError(probe(NOTES, 101, token), "bad_candidate_token", USED);
}

TEST_F(Leases, AnExpiredLeaseIsRefused) {
  std::string token = tokenFor(101);
  advanceClockForTests(Seconds(31));
  expectError(probe(NOTES, 101, token), "bad_candidate_token", USED);

  // The same refusal when the sweep before the handler has not removed the lease yet.
  token = tokenFor(101);
  advanceClockForTests(Seconds(31));
  Json request = {{"identity", identity(NOTES, 101)}, {"candidateToken", token}};
  try {
    handleProbe("direct", request);
    ADD_FAILURE() << "an expired lease was accepted";
  } catch (const SafeError& error) {
    EXPECT_EQ(error.code(), "bad_candidate_token");
    EXPECT_EQ(error.message(), USED);
  }
  EXPECT_EQ(leaseCount(), 2u);  // the other windows' leases; this one is gone
  EXPECT_EQ(selected(), std::nullopt);

  // Younger than 30 seconds, it still binds.
  token = tokenFor(101);
  advanceClockForTests(Seconds(29));
  EXPECT_EQ(probe(NOTES, 101, token)["ok"], true);
}

TEST_F(Leases, ATokenBindsOnlyItsOwnWindow) {
  std::string token = tokenFor(101);
  expectError(probe(NOTES, 102, token), "bad_candidate_token", USED);
  // The attempt used the lease up, even for its own window.
  expectError(probe(NOTES, 101, token), "bad_candidate_token", USED);

  // The same process and window with another start time is another window.
  token = tokenFor(101);
  Json other = identity(NOTES, 101);
  other["processStartTime100ns"] = "1";
  expectError(answer("probe_binding", {{"identity", other}, {"candidateToken", token}}),
              "bad_candidate_token", USED);
  EXPECT_EQ(selected(), std::nullopt);
}

TEST_F(Leases, ANewListingInvalidatesEarlierTokens) {
  std::string first = tokenFor(101);
  std::string second = tokenFor(101);
  expectError(probe(NOTES, 101, first), "bad_candidate_token", USED);
  EXPECT_EQ(probe(NOTES, 101, second)["ok"], true);
}

TEST_F(Leases, WithoutATokenOnlyTheCurrentBindingIsReprobed) {
  expectError(probe(NOTES, 101, nullptr), "candidate_token_required",
              "binding requires a fresh listed candidate token");
  ASSERT_EQ(probe(NOTES, 101, tokenFor(101))["ok"], true);
  EXPECT_EQ(probe(NOTES, 101, nullptr)["ok"], true);
  EXPECT_EQ(probe(NOTES, 101, NO_TOKEN)["ok"], true);
  expectError(probe(NOTES, 102, nullptr), "candidate_token_required",
              "binding requires a fresh listed candidate token");
  EXPECT_EQ(selected(), test::identOf(NOTES, 101));
  // A token moves the binding to another window.
  ASSERT_EQ(probe(NOTES, 102, tokenFor(102))["ok"], true);
  EXPECT_EQ(selected(), test::identOf(NOTES, 102));
}

TEST_F(Leases, MalformedTokensAreRefusedBeforeAnyLeaseIsTouched) {
  std::string token = tokenFor(101);
  for (const Json& bad : {Json(5), Json(""), Json("candidate-lease"), Json("x" + token), Json(true),
                          Json::object(), Json::array({token})}) {
    SCOPED_TRACE(bad.dump());
    expectError(probe(NOTES, 101, bad), "bad_candidate_token",
                "fresh helper candidate token required");
  }
  // Neither does a malformed identity touch the lease.
  Json missing = answer("probe_binding", {{"candidateToken", token}});
  EXPECT_EQ(missing["code"], "bad_request");
  EXPECT_EQ(missing["message"], "field identity required");
  Json bad = identity(NOTES, 101);
  bad["hwnd"] = "0";
  EXPECT_EQ(answer("probe_binding", {{"identity", bad}, {"candidateToken", token}})["code"],
            "bad_identity");
  // Nor do missing permissions.
  setenv("QUORVEL_CU_FORCE_NO_PERMISSIONS", "1", 1);
  EXPECT_EQ(probe(NOTES, 101, token)["code"], "accessibility_not_trusted");
  unsetenv("QUORVEL_CU_FORCE_NO_PERMISSIONS");

  EXPECT_EQ(leaseCount(), 3u);
  EXPECT_EQ(probe(NOTES, 101, token)["ok"], true);
}

TEST_F(Leases, AFailedBindingChangesNothingButTheLease) {
  ASSERT_EQ(probe(NOTES, 101, tokenFor(101))["ok"], true);

  std::string token = tokenFor(102);
  test::controlDesktop({{"op", "retitle"}, {"number", 102}, {"title", "Outline 2"}});
  expectError(probe(NOTES, 102, token), "target_title_changed",
              "selected window title changed during binding");
  EXPECT_EQ(selected(), test::identOf(NOTES, 101));
  // The lease was used up by the failed attempt.
  expectError(probe(NOTES, 102, token), "bad_candidate_token", USED);
}

TEST_F(Leases, AProbeFailureIsTheRequestsFailure) {
  ASSERT_EQ(probe(NOTES, 101, tokenFor(101))["ok"], true);
  std::string token = tokenFor(201);
  test::controlDesktop({{"op", "add-node"},
                        {"pid", MAIL},
                        {"parent", "inbox"},
                        {"node", {{"role", "AXSecureTextField"}}}});
  expectError(probe(MAIL, 201, token), "protected_target",
              "secure, credential or verification surface blocked (ax-password)");
  EXPECT_EQ(selected(), test::identOf(NOTES, 101));
  test::controlDesktop({{"op", "close-window"}, {"number", 101}});
  expectError(probe(NOTES, 101, nullptr), "target_destroyed", "window no longer exists");
}

using Focus = Binding;

// Counts activation requests for one application.
std::shared_ptr<std::atomic<int>> countActivations(std::int32_t pid) {
  auto count = std::make_shared<std::atomic<int>>(0);
  sim::setHook([=](const sim::Call& call) {
    if (call.function == "platformActivateApplication" && call.pid == pid) ++*count;
  });
  return count;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(Focus, ActivatesAndRaisesTheBoundWindow) {
  // The second window of its application: activation alone would put the first one in front.
  ASSERT_EQ(probe(NOTES, 102, tokenFor(102))["ok"], true);
  std::int64_t epochBefore = foregroundEpoch().get();
  Json focused = focus(NOTES, 102);
  ASSERT_EQ(focused["ok"], true) << focused;
  EXPECT_EQ(focused["type"], "focus_binding");
  EXPECT_EQ(focused["probe"]["foreground"], true);
  EXPECT_EQ(focused["probe"]["hitTestOwnWindow"], true);
  EXPECT_EQ(focused["probe"]["identity"], identity(NOTES, 102));
  EXPECT_GT(foregroundEpoch().get(), epochBefore);
  EXPECT_EQ(selected(), test::identOf(NOTES, 102));
}

TEST_F(Focus, NeedsTheExactCurrentBinding) {
  auto activations = countActivations(NOTES);
  expectError(focus(NOTES, 101), "binding_required",
              "exact selected binding required before focus");
  ASSERT_EQ(probe(NOTES, 101, tokenFor(101))["ok"], true);
  expectError(focus(NOTES, 102), "binding_required",
              "exact selected binding required before focus");
  Json stale = identity(NOTES, 101);
  stale["processStartTime100ns"] = "1";
  EXPECT_EQ(answer("focus_binding", {{"identity", stale}})["code"], "binding_required");
  EXPECT_EQ(activations->load(), 0);
}

TEST_F(Focus, RefusesOnALockedScreenWithoutActivating) {
  ASSERT_EQ(probe(NOTES, 101, tokenFor(101))["ok"], true);
  auto activations = countActivations(NOTES);
  test::controlDesktop({{"op", "lock"}});
  expectError(focus(NOTES, 101), "screen_locked", "interactive desktop unavailable");
  EXPECT_EQ(activations->load(), 0);
}

TEST_F(Focus, ReportsFocusLostWhenActivationIsIgnored) {
  test::controlDesktop({{"op", "set-app"}, {"pid", NOTES}, {"activation", "ignored"}});
  ASSERT_EQ(probe(NOTES, 101, tokenFor(101))["ok"], true);
  auto started = std::chrono::steady_clock::now();
  expectError(focus(NOTES, 101), "focus_lost", "macOS rejected foreground activation");
  double waited = secondsSince(started);
  EXPECT_GE(waited, 1.45);
  EXPECT_LT(waited, 5.0);
}

TEST_F(Focus, WaitsForALateActivation) {
  test::controlDesktop(
      {{"op", "set-app"}, {"pid", NOTES}, {"activation", "late"}, {"activationDelay", 0.3}});
  ASSERT_EQ(probe(NOTES, 101, tokenFor(101))["ok"], true);
  auto started = std::chrono::steady_clock::now();
  Json focused = focus(NOTES, 101);
  EXPECT_EQ(focused["ok"], true) << focused;
  EXPECT_GE(secondsSince(started), 0.25);
}

TEST_F(Focus, AWindowThatClosesWhileFocusingIsDestroyed) {
  ASSERT_EQ(probe(NOTES, 101, tokenFor(101))["ok"], true);
  test::onCall("platformActivateApplication", NOTES, 1, [] {
    test::controlDesktop({{"op", "close-window"}, {"number", 101}});
  });
  expectError(focus(NOTES, 101), "target_destroyed", "window no longer exists");
  // Focus never changes the binding.
  EXPECT_EQ(selected(), test::identOf(NOTES, 101));
}

}  // namespace
}  // namespace qcu
