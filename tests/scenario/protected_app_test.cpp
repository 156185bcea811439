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
  test::loadDesktop({{"apps", {notesApp(4200)}}});
  EXPECT_FALSE(isBlockedApplication(4200));
}

TEST_F(ProtectedApplication, SelfAndOwnerAreRefusedWhateverTheirMetadata) {
  const auto self = static_cast<std::int32_t>(::getpid());
  Json selfApp = notesApp(self);
  selfApp["realProcess"] = true;
  test::loadDesktop({{"apps", {selfApp, notesApp(4201)}}});
  EXPECT_TRUE(isBlockedApplication(self));
  EXPECT_FALSE(isBlockedApplication(4201));
  ownerPidValue().set(4201);
  EXPECT_TRUE(isBlockedApplication(4201));
}

TEST_F(ProtectedApplication, EveryProcessOfTheOwnersBundleIsRefused) {
  Json helper = notesApp(4202);
  helper["bundleIdentifier"] = "COM.Quorvel.Desktop";
  test::loadDesktop({{"apps", {helper}}});
  EXPECT_FALSE(isBlockedApplication(4202));
  ownerBundleValue().set("com.quorvel.desktop");
  EXPECT_TRUE(isBlockedApplication(4202));
}

TEST_F(ProtectedApplication, UnknownOrVanishedProcessIsRefused) {
  test::loadDesktop({{"apps", {notesApp(4203)}}});
  EXPECT_TRUE(isBlockedApplication(4299));
  test::controlDesktop({{"op", "set-process"}, {"pid", 4203}, {"alive", false}});
  EXPECT_TRUE(isBlockedApplication(4203));
}

}  // namespace
}  // namespace qcu
