#include "desktop/procfs.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace qcu {
namespace {

std::int64_t nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TEST(ProcfsTest, OwnProcessStartedRecentlyAndReadsTheSameEveryTime) {
  auto start = procfsProcessStart(getpid());
  ASSERT_TRUE(start);
  EXPECT_LE(start->seconds, nowSeconds() + 1);
  EXPECT_GT(start->seconds, nowSeconds() - 24 * 3600);
  EXPECT_GE(start->microseconds, 0);
  EXPECT_LT(start->microseconds, 1'000'000);
  auto again = procfsProcessStart(getpid());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->seconds, start->seconds);
  EXPECT_EQ(again->microseconds, start->microseconds);
  EXPECT_TRUE(procfsProcessAlive(getpid()));
}

TEST(ProcfsTest, IdsThatNameNoSingleProcess) {
  // 0 and negative ids would address process groups through the null signal.
  for (std::int32_t pid : {0, -1, -2, 2147483647}) {
    EXPECT_FALSE(procfsProcessAlive(pid)) << pid;
    EXPECT_FALSE(procfsProcessStart(pid)) << pid;
  }
}

TEST(ProcfsTest, AnExitedChildIsGoneBeforeItIsReaped) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  // Wait until the child is a zombie without reaping it.
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
  EXPECT_FALSE(procfsProcessAlive(child));
  EXPECT_FALSE(procfsProcessStart(child));
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  EXPECT_FALSE(procfsProcessAlive(child));
}

TEST(ProcfsTest, ALiveChildHasAStartTimeAfterOurs) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    pause();
    _exit(0);
  }
  auto own = procfsProcessStart(getpid());
  auto started = procfsProcessStart(child);
  ASSERT_TRUE(own && started);
  EXPECT_TRUE(procfsProcessAlive(child));
  EXPECT_GE(started->seconds * 1'000'000 + started->microseconds,
            own->seconds * 1'000'000 + own->microseconds);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

}  // namespace
}  // namespace qcu
