// The private pair's life: one per helper, gone when the helper ends however it ends, and what
// dead helpers left removed at start-up, never another live helper's.
#include <gtest/gtest.h>

#include <X11/extensions/XInput2.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "desktop/x11/display.h"
#include "desktop/x11/input.h"
#include "process/child.h"
#include "x11/input_fixture.h"

namespace qcu::test {
namespace {

using PairTest = X11InputTest;

bool waitFor(const std::function<bool()>& condition, double seconds = 10.0) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void addPairFor(Display* display, pid_t pid) {
  std::string name = x11::pairName(pid);
  XIAnyHierarchyChangeInfo add{};
  add.add.type = XIAddMaster;
  add.add.name = name.data();
  add.add.send_core = True;
  add.add.enable = True;
  XIChangeHierarchy(display, &add, 1);
  XSync(display, False);
}

bool hasPair(Display* display, pid_t pid) {
  return masterPointerNamed(display, x11::pairName(pid)) != 0;
}

// A process id that ran and no longer does.
pid_t deadPid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

TEST_F(PairTest, OneSourceOnePairRemovedWithTheLastCopy) {
  {
    auto first = source();
    auto second = source();
    EXPECT_EQ(first.ref, second.ref);
    EXPECT_TRUE(hasPair(test, getpid()));
  }
  EXPECT_FALSE(hasPair(test, getpid()));
}

TEST_F(PairTest, WithThePairRemovedBySomeoneElseNothingIsPosted) {
  auto from = source();
  auto move = platformMakeMouseEvent(from, MouseEventType::Moved, {40, 40}, 0);
  ASSERT_TRUE(move.has_value());
  XIAnyHierarchyChangeInfo remove{};
  remove.remove.type = XIRemoveMaster;
  remove.remove.deviceid = masterPointerNamed(test, x11::pairName(getpid()));
  remove.remove.return_mode = XIFloating;
  ASSERT_NE(remove.remove.deviceid, 0);
  XIChangeHierarchy(test, &remove, 1);
  XSync(test, False);
  // Posted anyway, the move would take the user's own pointer.
  EXPECT_FALSE(platformPostEvent(from, *move));
}

TEST_F(PairTest, StartUpRemovesThePairsOfDeadHelpersOnly) {
  const pid_t dead = deadPid();
  Child live = spawnChild("/bin/sleep", {"30"});
  auto own = source();
  addPairFor(test, dead);
  addPairFor(test, live.pid);
  {
    x11::RequestScope scope;
    ASSERT_TRUE(scope);
    EXPECT_EQ(x11::removeStalePairs(scope.display), 1);
  }
  EXPECT_FALSE(hasPair(test, dead));
  EXPECT_TRUE(hasPair(test, live.pid));
  EXPECT_TRUE(hasPair(test, getpid()));
  XIAnyHierarchyChangeInfo remove{};
  remove.remove.type = XIRemoveMaster;
  remove.remove.deviceid = masterPointerNamed(test, x11::pairName(live.pid));
  remove.remove.return_mode = XIFloating;
  XIChangeHierarchy(test, &remove, 1);
  XSync(test, False);
}

TEST_F(PairTest, TheNameCarriesTheOwnersProcessIdAndNothingElseMatches) {
  EXPECT_EQ(x11::pairOwner(x11::pairName(4321) + " pointer"), 4321);
  for (const char* other :
       {"quorvel-cu-4321 keyboard", "quorvel-cu- pointer", "quorvel-cu-12a pointer",
        "quorvel-cu-0 pointer", "quorvel-cu-1234567890 pointer", "Virtual core pointer"}) {
    EXPECT_FALSE(x11::pairOwner(other).has_value()) << other;
  }
}

TEST_F(PairTest, AHelperLeavesNoPairWhenKilledAndTheNextRemovesWhatADeadOneLeft) {
  // The helper makes its pair on its first input; make it in its name here instead.
  Child helper = spawnOwnedHelper(QCU_HELPER_REAL);
  helper.write(R"({"v":1,"requestId":"p","type":"ping"})"
               "\n");
  ASSERT_TRUE(helper.readMessage(10).has_value()) << "the helper did not answer";
  addPairFor(test, helper.pid);
  ASSERT_TRUE(hasPair(test, helper.pid));
  kill(helper.pid, SIGKILL);
  helper.waitExit(10);
  EXPECT_TRUE(waitFor([&] { return !hasPair(test, helper.pid); }))
      << "the killed helper's pair was left behind";

  // A pair whose watcher never ran: the next helper's start-up removes it.
  const pid_t dead = deadPid();
  addPairFor(test, dead);
  Child next = spawnOwnedHelper(QCU_HELPER_REAL);
  EXPECT_TRUE(waitFor([&] { return !hasPair(test, dead); }))
      << "the next helper left a dead helper's pair";
  next.closeInput();
  EXPECT_EQ(next.waitExit(10), 0);
}

}  // namespace
}  // namespace qcu::test
