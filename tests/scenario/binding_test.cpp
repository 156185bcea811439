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

constexpr std::int32_t NOTES_PID = 9004400;
constexpr std::int32_t MAIL_PID = 9004401;
constexpr const char* USED = "candidate lease expired, used or mismatched";

// Mail's window in front of two Notes windows.
Json bindingDesktop() {
  Json inbox = windowNode(201, "Inbox");
  inbox["id"] = "inbox";
  return {{"apps",
           {appEntry(NOTES_PID, "Notes", {windowNode(101, "Draft"), windowNode(102, "Outline")}),
            appEntry(MAIL_PID, "Mail", {inbox})}},
          {"windows",
           {windowRow(201, MAIL_PID, "Inbox", Rect{0, 0, 800, 600}),
            windowRow(101, NOTES_PID, "Draft", Rect{50, 50, 500, 400}),
            windowRow(102, NOTES_PID, "Outline", Rect{60, 60, 500, 400})}}};
}

class Binding : public test::HelperTest {
 protected:
  void SetUp() override {
    test::HelperTest::SetUp();
    test::loadDesktop(bindingDesktop());
  }

  static Json answer(const std::string& type, const Json& fields = Json::object()) {
    return test::ask(type, fields);
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
};

using test::expectRefusal;

const Json NO_TOKEN = Json::value_t::discarded;

using Leases = Binding;

TEST_F(Leases, ATokenIsGoodForOneAttempt) {
  std::string token = tokenFor(101);
  Json bound = probe(NOTES_PID, 101, token);
  ASSERT_EQ(bound["ok"], true) << bound;
  EXPECT_EQ(bound["type"], "probe_binding");
  EXPECT_EQ(bound["probe"]["identity"], identity(NOTES_PID, 101));
  EXPECT_EQ(bound["probe"]["title"], "Draft");
  EXPECT_EQ(bound["probe"]["foreground"], false);
  EXPECT_EQ(selected(), test::identOf(NOTES_PID, 101));
  expectRefusal(probe(NOTES_PID, 101, token), "bad_candidate_token", USED);
}

TEST_F(Leases, AnExpiredLeaseIsRefused) {
  std::string token = tokenFor(101);
  advanceClockForTests(Seconds(31));
  expectRefusal(probe(NOTES_PID, 101, token), "bad_candidate_token", USED);

  // The same refusal when the sweep before the handler has not removed the lease yet.
  token = tokenFor(101);
  advanceClockForTests(Seconds(31));
  Json request = {{"identity", identity(NOTES_PID, 101)}, {"candidateToken", token}};
  test::expectSafeError([&] { handleProbe("direct", request); }, "bad_candidate_token", USED);
  EXPECT_EQ(leaseCount(), 2u);  // the other windows' leases; this one is gone
  EXPECT_EQ(selected(), std::nullopt);

  // Younger than 30 seconds, it still binds.
  token = tokenFor(101);
  advanceClockForTests(Seconds(29));
  EXPECT_EQ(probe(NOTES_PID, 101, token)["ok"], true);
}

TEST_F(Leases, ATokenBindsOnlyItsOwnWindow) {
  std::string token = tokenFor(101);
  expectRefusal(probe(NOTES_PID, 102, token), "bad_candidate_token", USED);
  // The attempt used the lease up, even for its own window.
  expectRefusal(probe(NOTES_PID, 101, token), "bad_candidate_token", USED);

  // The same process and window with another start time is another window.
  token = tokenFor(101);
  Json other = identity(NOTES_PID, 101);
  other["processStartTime100ns"] = "1";
  expectRefusal(answer("probe_binding", {{"identity", other}, {"candidateToken", token}}),
                "bad_candidate_token", USED);
  EXPECT_EQ(selected(), std::nullopt);
}

TEST_F(Leases, ANewListingInvalidatesEarlierTokens) {
  std::string first = tokenFor(101);
  std::string second = tokenFor(101);
  expectRefusal(probe(NOTES_PID, 101, first), "bad_candidate_token", USED);
  EXPECT_EQ(probe(NOTES_PID, 101, second)["ok"], true);
}

TEST_F(Leases, WithoutATokenOnlyTheCurrentBindingIsReprobed) {
  expectRefusal(probe(NOTES_PID, 101, nullptr), "candidate_token_required",
                "binding requires a fresh listed candidate token");
  ASSERT_EQ(probe(NOTES_PID, 101, tokenFor(101))["ok"], true);
  EXPECT_EQ(probe(NOTES_PID, 101, nullptr)["ok"], true);
  EXPECT_EQ(probe(NOTES_PID, 101, NO_TOKEN)["ok"], true);
  expectRefusal(probe(NOTES_PID, 102, nullptr), "candidate_token_required",
                "binding requires a fresh listed candidate token");
  EXPECT_EQ(selected(), test::identOf(NOTES_PID, 101));
  // A token moves the binding to another window.
  ASSERT_EQ(probe(NOTES_PID, 102, tokenFor(102))["ok"], true);
  EXPECT_EQ(selected(), test::identOf(NOTES_PID, 102));
}

TEST_F(Leases, MalformedTokensAreRefusedBeforeAnyLeaseIsTouched) {
  std::string token = tokenFor(101);
  for (const Json& bad : {Json(5), Json(""), Json("candidate-lease"), Json("x" + token), Json(true),
                          Json::object(), Json::array({token})}) {
    SCOPED_TRACE(bad.dump());
    expectRefusal(probe(NOTES_PID, 101, bad), "bad_candidate_token",
                  "fresh helper candidate token required");
  }
  // Neither does a malformed identity touch the lease.
  Json missing = answer("probe_binding", {{"candidateToken", token}});
  EXPECT_EQ(missing["code"], "bad_request");
  EXPECT_EQ(missing["message"], "field identity required");
  Json bad = identity(NOTES_PID, 101);
  bad["hwnd"] = "0";
  EXPECT_EQ(answer("probe_binding", {{"identity", bad}, {"candidateToken", token}})["code"],
            "bad_identity");
  // Nor do missing permissions.
  setenv("QUORVEL_CU_FORCE_NO_PERMISSIONS", "1", 1);
  EXPECT_EQ(probe(NOTES_PID, 101, token)["code"], "accessibility_not_trusted");
  unsetenv("QUORVEL_CU_FORCE_NO_PERMISSIONS");

  EXPECT_EQ(leaseCount(), 3u);
  EXPECT_EQ(probe(NOTES_PID, 101, token)["ok"], true);
}

TEST_F(Leases, AFailedBindingChangesNothingButTheLease) {
  ASSERT_EQ(probe(NOTES_PID, 101, tokenFor(101))["ok"], true);

  std::string token = tokenFor(102);
  test::controlDesktop({{"op", "retitle"}, {"number", 102}, {"title", "Outline 2"}});
  expectRefusal(probe(NOTES_PID, 102, token), "target_title_changed",
                "selected window title changed during binding");
  EXPECT_EQ(selected(), test::identOf(NOTES_PID, 101));
  // The lease was used up by the failed attempt.
  expectRefusal(probe(NOTES_PID, 102, token), "bad_candidate_token", USED);
}

TEST_F(Leases, AProbeFailureIsTheRequestsFailure) {
  ASSERT_EQ(probe(NOTES_PID, 101, tokenFor(101))["ok"], true);
  std::string token = tokenFor(201);
  test::controlDesktop({{"op", "add-node"},
                        {"pid", MAIL_PID},
                        {"parent", "inbox"},
                        {"node", {{"role", "AXSecureTextField"}}}});
  expectRefusal(probe(MAIL_PID, 201, token), "protected_target",
                "secure, credential or verification surface blocked (ax-password)");
  EXPECT_EQ(selected(), test::identOf(NOTES_PID, 101));
  test::controlDesktop({{"op", "close-window"}, {"number", 101}});
  expectRefusal(probe(NOTES_PID, 101, nullptr), "target_destroyed", "window no longer exists");
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
  ASSERT_EQ(probe(NOTES_PID, 102, tokenFor(102))["ok"], true);
  std::int64_t epochBefore = foregroundEpoch().get();
  Json focused = focus(NOTES_PID, 102);
  ASSERT_EQ(focused["ok"], true) << focused;
  EXPECT_EQ(focused["type"], "focus_binding");
  EXPECT_EQ(focused["probe"]["foreground"], true);
  EXPECT_EQ(focused["probe"]["hitTestOwnWindow"], true);
  EXPECT_EQ(focused["probe"]["identity"], identity(NOTES_PID, 102));
  EXPECT_GT(foregroundEpoch().get(), epochBefore);
  EXPECT_EQ(selected(), test::identOf(NOTES_PID, 102));
}

TEST_F(Focus, NeedsTheExactCurrentBinding) {
  auto activations = countActivations(NOTES_PID);
  expectRefusal(focus(NOTES_PID, 101), "binding_required",
                "exact selected binding required before focus");
  ASSERT_EQ(probe(NOTES_PID, 101, tokenFor(101))["ok"], true);
  expectRefusal(focus(NOTES_PID, 102), "binding_required",
                "exact selected binding required before focus");
  Json stale = identity(NOTES_PID, 101);
  stale["processStartTime100ns"] = "1";
  EXPECT_EQ(answer("focus_binding", {{"identity", stale}})["code"], "binding_required");
  EXPECT_EQ(activations->load(), 0);
}

TEST_F(Focus, RefusesOnALockedScreenWithoutActivating) {
  ASSERT_EQ(probe(NOTES_PID, 101, tokenFor(101))["ok"], true);
  auto activations = countActivations(NOTES_PID);
  test::controlDesktop({{"op", "lock"}});
  expectRefusal(focus(NOTES_PID, 101), "screen_locked", "interactive desktop unavailable");
  EXPECT_EQ(activations->load(), 0);
}

TEST_F(Focus, ReportsFocusLostWhenActivationIsIgnored) {
  test::controlDesktop({{"op", "set-app"}, {"pid", NOTES_PID}, {"activation", "ignored"}});
  ASSERT_EQ(probe(NOTES_PID, 101, tokenFor(101))["ok"], true);
  auto started = std::chrono::steady_clock::now();
  expectRefusal(focus(NOTES_PID, 101), "focus_lost", "macOS rejected foreground activation");
  double waited = secondsSince(started);
  EXPECT_GE(waited, 1.45);
  EXPECT_LT(waited, 5.0);
}

TEST_F(Focus, WaitsForALateActivation) {
  test::controlDesktop(
      {{"op", "set-app"}, {"pid", NOTES_PID}, {"activation", "late"}, {"activationDelay", 0.3}});
  ASSERT_EQ(probe(NOTES_PID, 101, tokenFor(101))["ok"], true);
  auto started = std::chrono::steady_clock::now();
  Json focused = focus(NOTES_PID, 101);
  EXPECT_EQ(focused["ok"], true) << focused;
  EXPECT_GE(secondsSince(started), 0.25);
}

TEST_F(Focus, AWindowThatClosesWhileFocusingIsDestroyed) {
  ASSERT_EQ(probe(NOTES_PID, 101, tokenFor(101))["ok"], true);
  test::onCall("platformActivateApplication", NOTES_PID, 1, [] {
    test::controlDesktop({{"op", "close-window"}, {"number", 101}});
  });
  expectRefusal(focus(NOTES_PID, 101), "target_destroyed", "window no longer exists");
  // Focus never changes the binding.
  EXPECT_EQ(selected(), test::identOf(NOTES_PID, 101));
}

}  // namespace
}  // namespace qcu
