// The protected-application decision from a process id on the simulated desktop.
#include <gtest/gtest.h>
#include <unistd.h>

#include "policy/policy.h"
#include "session/state.h"
#include "support/sim_desktop.h"

namespace qcu {
namespace {

using Json = nlohmann::json;

Json notesApp(std::int32_t pid) {
  return test::appEntry(pid, "notes");
}

using ProtectedApplication = test::DesktopTest;

TEST_F(ProtectedApplication, OrdinaryApplicationPasses) {
  test::loadDesktop({{"apps", {notesApp(9004200)}}});
  EXPECT_FALSE(isBlockedApplication(9004200));
}

TEST_F(ProtectedApplication, SelfAndOwnerAreRefusedWhateverTheirMetadata) {
  const auto self = static_cast<std::int32_t>(::getpid());
  Json selfApp = notesApp(self);
  selfApp["realProcess"] = true;
  test::loadDesktop({{"apps", {selfApp, notesApp(9004201)}}});
  EXPECT_TRUE(isBlockedApplication(self));
  EXPECT_FALSE(isBlockedApplication(9004201));
  ownerPidValue().set(9004201);
  EXPECT_TRUE(isBlockedApplication(9004201));
}

TEST_F(ProtectedApplication, EveryProcessOfTheOwnersBundleIsRefused) {
  Json helper = notesApp(9004202);
  helper["bundleIdentifier"] = "COM.Quorvel.Desktop";
  test::loadDesktop({{"apps", {helper}}});
  EXPECT_FALSE(isBlockedApplication(9004202));
  ownerBundleValue().set("com.quorvel.desktop");
  EXPECT_TRUE(isBlockedApplication(9004202));
}

TEST_F(ProtectedApplication, UnknownOrVanishedProcessIsRefused) {
  test::loadDesktop({{"apps", {notesApp(9004203)}}});
  EXPECT_TRUE(isBlockedApplication(9004299));
  test::controlDesktop({{"op", "set-process"}, {"pid", 9004203}, {"alive", false}});
  EXPECT_TRUE(isBlockedApplication(9004203));
}

}  // namespace
}  // namespace qcu
