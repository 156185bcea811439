// The bounded surface walk over simulated accessibility trees.
#include <gtest/gtest.h>

#include <string>

#include "desktop/accessibility.h"
#include "desktop/sim/sim.h"
#include "foundation/clock.h"
#include "foundation/limits.h"
#include "policy/policy.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using Json = nlohmann::json;

constexpr std::int32_t APP_PID = 9004100;

Json item(int i) {
  return {{"role", "AXStaticText"}, {"title", "Item " + std::to_string(i)}};
}

Json wrapped(const Json& child) {
  return {{"role", "AXGroup"}, {"children", Json::array({child})}};
}

// A window holding count clean static texts directly.
Json flatWindow(int count) {
  Json children = Json::array();
  for (int i = 0; i < count; ++i)
    children.push_back(item(i));
  return {{"title", "Notes"}, {"children", children}};
}

class SurfaceWalk : public test::DesktopTest {
 protected:
  // Loads one application with the window and returns the window's element.
  static AXElement window(const Json& window) {
    test::loadDesktop({{"apps", {test::appEntry(APP_PID, "notes", Json::array({window}))}}});
    auto application = platformApplicationElement(APP_PID);
    if (!application) return {};
    auto windows = axChildren(*application);
    return windows.empty() ? AXElement{} : windows.front();
  }

  static std::optional<std::string> walk(const AXElement& root) {
    return unsafeSurfaceReason(root, SURFACE_MAX_ELEMENTS, SURFACE_BUDGET);
  }
};

TEST_F(SurfaceWalk, CleanTreeYieldsNothing) {
  Json tree = flatWindow(3);
  tree["children"].push_back({{"role", "AXStaticText"}, {"title", "Password"}});
  tree["children"].push_back({{"role", "AXButton"}, {"title", "Save"}});
  tree["children"].push_back({{"role", "AXTextField"}, {"placeholder", "Search"}});
  EXPECT_EQ(walk(window(tree)), std::nullopt);
}

TEST_F(SurfaceWalk, PasswordFieldAnywhereWinsOverLaterAuthControls) {
  // The password field sits two groups deep; the sign-in button three groups deep is visited
  // later in breadth-first order.
  const Json password = wrapped(wrapped({{"role", "AXSecureTextField"}}));
  const Json signIn = wrapped(wrapped(wrapped({{"role", "AXButton"}, {"title", "Sign in"}})));
  EXPECT_EQ(walk(window({{"children", {signIn, password}}})), std::string(SURFACE_PASSWORD));
  // Closer to the root, the button is found first.
  const Json nearSignIn = wrapped({{"role", "AXButton"}, {"title", "Sign in"}});
  EXPECT_EQ(walk(window({{"children", {password, nearSignIn}}})),
            std::string(SURFACE_AUTH_CONTROL));
}

TEST_F(SurfaceWalk, SecureSubroleCountsAsPassword) {
  Json tree = {{"children", {{{"role", "AXTextField"}, {"subrole", "AXSecureTextField"}}}}};
  EXPECT_EQ(walk(window(tree)), std::string(SURFACE_PASSWORD));
}

TEST_F(SurfaceWalk, AuthTextCountsOnlyOnInputsAndButtons) {
  EXPECT_EQ(walk(window({{"children", {{{"role", "AXButton"}, {"title", "Sign in"}}}}})),
            std::string(SURFACE_AUTH_CONTROL));
  EXPECT_EQ(
      walk(window(
          {{"children",
            {{{"role", "AXTextField"}, {"title", "Account"}, {"identifier", "username-input"}}}}})),
      std::string(SURFACE_AUTH_CONTROL));
  EXPECT_EQ(walk(window({{"children", {{{"role", "AXComboBox"}, {"help", "Enter OTP"}}}}})),
            std::string(SURFACE_AUTH_CONTROL));
  // The same texts on other roles, and a mistyped title, do not count.
  EXPECT_EQ(walk(window({{"children",
                          {{{"role", "AXStaticText"}, {"title", "Sign in"}},
                           {{"role", "AXLink"}, {"title", "Log in"}},
                           {{"role", "AXButton"}, {"title", 42}}}}})),
            std::nullopt);
}

TEST_F(SurfaceWalk, ElementLimitCountsTheRoot) {
  // 511 descendants and the window fill the limit exactly.
  EXPECT_EQ(walk(window(flatWindow(SURFACE_MAX_ELEMENTS - 1))), std::nullopt);
  EXPECT_EQ(walk(window(flatWindow(SURFACE_MAX_ELEMENTS))), std::string(SURFACE_ELEMENT_LIMIT));
  EXPECT_EQ(walk(window(flatWindow(600))), std::string(SURFACE_ELEMENT_LIMIT));
}

TEST_F(SurfaceWalk, PasswordFieldBeyondTheLimitIsNotSeen) {
  Json tree = flatWindow(SURFACE_MAX_ELEMENTS - 1);
  tree["children"].push_back({{"role", "AXSecureTextField"}});
  EXPECT_EQ(walk(window(tree)), std::string(SURFACE_ELEMENT_LIMIT));
}

TEST_F(SurfaceWalk, ZeroOrNegativeLimitExaminesNothing) {
  const AXElement root = window(flatWindow(0));
  EXPECT_EQ(unsafeSurfaceReason(root, 0, 1.0), std::string(SURFACE_ELEMENT_LIMIT));
  EXPECT_EQ(unsafeSurfaceReason(root, -5, 1.0), std::string(SURFACE_ELEMENT_LIMIT));
  EXPECT_EQ(unsafeSurfaceReason(root, 1, 1.0), std::nullopt);
  EXPECT_EQ(unsafeSurfaceReason(AXElement{}, 512, 1.0), std::string(SURFACE_ELEMENT_LIMIT));
}

TEST_F(SurfaceWalk, ExhaustedBudgetBeforeTheRootReadsNothing) {
  const AXElement root = window({{"children", {{{"role", "AXSecureTextField"}}}}});
  int reads = 0;
  sim::setHook([&](const sim::Call& call) {
    if (call.function == "platformCopyAttribute") ++reads;
  });
  EXPECT_EQ(unsafeSurfaceReason(root, 512, -0.001), std::string(SURFACE_TIMEOUT));
  EXPECT_EQ(unsafeSurfaceReason(root, 512, std::nan("")), std::string(SURFACE_TIMEOUT));
  EXPECT_EQ(reads, 0);
}

TEST_F(SurfaceWalk, TimeRunningOutMidWalkStopsBeforeTheNextElement) {
  Json tree = {
      {"children", {{{"id", "slow"}, {"role", "AXGroup"}}, {{"role", "AXSecureTextField"}}}}};
  const AXElement root = window(tree);
  sim::setHook([](const sim::Call& call) {
    if (call.node == "slow" && call.name == "AXRole") advanceClockForTests(Seconds(2));
  });
  EXPECT_EQ(walk(root), std::string(SURFACE_TIMEOUT));
}

TEST_F(SurfaceWalk, ApplicationThatStopsAnsweringIsNotClean) {
  // Every read of a hung application waits out the messaging timeout and reads as absent; the
  // walk sees an empty tree but has run past its budget.
  const AXElement root = window(flatWindow(2));
  test::controlDesktop({{"op", "hang"}, {"pid", APP_PID}});
  platformSetMessagingTimeout(0.05);
  EXPECT_EQ(unsafeSurfaceReason(root, 64, 0.1), std::string(SURFACE_TIMEOUT));
}

TEST_F(SurfaceWalk, ApplicationThatStopsAnsweringPartwayIsNotClean) {
  // The application stops answering at one read, well inside the budget: that read and every
  // later one read as absent. Each hides what would have refused the window.
  struct Case {
    const char* why;
    const char* node;
    const char* attribute;
  };
  const Case cases[] = {
      {"the role of the group holding a password field", "group", "AXRole"},
      {"the child list of the group holding a password field", "group", "AXChildren"},
      {"the title of a sign-in button, the walk's last element", "signIn", "AXTitle"},
  };
  const Json tree = {
      {"children",
       {{{"id", "group"}, {"role", "AXGroup"}, {"children", {{{"role", "AXSecureTextField"}}}}},
        {{"id", "signIn"}, {"role", "AXButton"}, {"title", "Sign in"}}}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    const AXElement root = window(tree);
    platformSetMessagingTimeout(0.05);
    bool hung = false;
    sim::setHook([&](const sim::Call& call) {
      if (!hung && call.node == c.node && call.name == c.attribute) {
        hung = true;
        test::controlDesktop({{"op", "hang"}, {"pid", APP_PID}});
      }
    });
    EXPECT_EQ(unsafeSurfaceReason(root, 64, 5.0), std::string(SURFACE_TIMEOUT));
    EXPECT_TRUE(hung);
    sim::setHook({});
  }
}

}  // namespace
}  // namespace qcu
