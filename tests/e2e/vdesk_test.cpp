// scripts/vdesk: the desktop it builds, and that nothing of it is left running however it ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process/child.h"
#include "support/vdesk.h"

namespace qcu::test {
namespace {

using nlohmann::json;

// The file's contents; empty when it cannot be read, as when the process it describes ended
// between the open and the read.
std::string readAll(const std::string& path) {
  try {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const std::exception&) {
    return {};
  }
}

// Processes whose environment holds "entry" (e.g. "QCU_VDESK=<dir>"), or whose command line
// holds it when inCommandLine.
std::vector<std::string> processesWith(const std::string& entry, bool inCommandLine = false) {
  std::vector<std::string> found;
  std::string needle = std::string(1, '\0') + entry + std::string(1, '\0');
  for (const auto& dir : std::filesystem::directory_iterator("/proc")) {
    std::string name = dir.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (std::stoi(name) == getpid()) continue;
    std::string text = '\0' + readAll(dir.path() / (inCommandLine ? "cmdline" : "environ"));
    if (text.find(needle) != std::string::npos) {
      found.push_back(name + " " + readAll(dir.path() / "comm"));
    }
  }
  return found;
}

// Nothing of the desktop whose runtime directory is dir remains, within the timeout.
::testing::AssertionResult desktopGone(const std::string& dir, double timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<int>(timeoutSeconds * 1000));
  for (;;) {
    auto left = processesWith("QCU_VDESK=" + dir);
    bool dirLeft = std::filesystem::exists(dir);
    if (left.empty() && !dirLeft) return ::testing::AssertionSuccess();
    if (std::chrono::steady_clock::now() > deadline) {
      auto failure = ::testing::AssertionFailure() << "after " << timeoutSeconds << " s:";
      for (const auto& p : left)
        failure << " [" << p << "]";
      if (dirLeft) failure << " and " << dir << " exists";
      return failure;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// Waits until a child of parent runs the program named comm; false after the timeout.
bool childRuns(pid_t parent, const std::string& comm, double timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<int>(timeoutSeconds * 1000));
  std::string children =
      "/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children";
  while (std::chrono::steady_clock::now() < deadline) {
    std::istringstream pids(readAll(children));
    for (std::string pid; pids >> pid;) {
      if (readAll("/proc/" + pid + "/comm") == comm + "\n") return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

struct Ending {
  const char* name;
  const char* last;  // the command's last words
  int signal;        // sent to scripts/vdesk once the command runs (0: none)
  int status;        // scripts/vdesk's exit status
};

void PrintTo(const Ending& ending, std::ostream* out) {
  *out << ending.name;
}

class RunEnding : public ::testing::TestWithParam<Ending> {};

// The command leaves a detached process behind (its own session), as a careless test might, and
// ends when it reads a line, or by a signal to scripts/vdesk.
TEST_P(RunEnding, LeavesNothingRunning) {
  const Ending& ending = GetParam();
  std::string script = std::string("echo \"$QCU_VDESK\"; setsid sleep 300 & ") + ending.last;
  Child run = spawnChild(vdeskScript(), {"run", "--", "/bin/sh", "-c", script});
  auto dir = run.readLine(60);
  ASSERT_TRUE(dir && !dir->empty()) << run.drainErr(1);
  ASSERT_FALSE(desktopGone(*dir, 0)) << "the desktop runs while its command runs";
  // A shell that is signalled between two commands may outlive the signal: wait until the
  // command's last words run.
  if (ending.signal) {
    ASSERT_TRUE(childRuns(run.pid, "sleep", 30)) << "the command never reached its last words";
    kill(run.pid, ending.signal);
  } else {
    run.write("go\n");
  }
  EXPECT_EQ(run.waitExit(60), ending.status);
  // After a SIGKILL the supervisor cleans up on its own; otherwise the script returns only
  // once everything is gone.
  EXPECT_TRUE(desktopGone(*dir, ending.signal == SIGKILL ? 30 : 0));
}

INSTANTIATE_TEST_SUITE_P(
    Vdesk, RunEnding,
    ::testing::Values(Ending{"CommandSucceeds", "read go; exit 0", 0, 0},
                      Ending{"CommandFails", "read go; exit 3", 0, 3},
                      Ending{"ScriptInterrupted", "exec sleep 300", SIGINT, 128 + SIGINT},
                      Ending{"ScriptTerminated", "exec sleep 300", SIGTERM, 128 + SIGTERM},
                      Ending{"ScriptKilled", "exec sleep 300", SIGKILL, 128 + SIGKILL}),
    [](const auto& info) { return std::string(info.param.name); });

// Each line the checks print is a fault.
TEST(Vdesk, RunsTheCommandOnACompleteDesktop) {
  const char* checks =
      "test \"$(stat -c %a \"$XDG_RUNTIME_DIR\")\" = 700 || echo runtime directory is open;"
      "test -z \"${NO_AT_BRIDGE+set}\" || echo NO_AT_BRIDGE is set;"
      "xdpyinfo | grep -q 'dimensions: *1024x768 pixels' || echo screen size not honoured;"
      "xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id' || echo no window manager;"
      "dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus "
      "org.a11y.Bus.GetAddress | grep -q \"unix:path=$XDG_RUNTIME_DIR/\" "
      "|| echo no private accessibility bus";
  Child run = spawnChild(vdeskScript(), {"--screen", "1024x768x24", "run", "/bin/sh", "-c", checks},
                         {"NO_AT_BRIDGE=1"});
  std::string out = run.drainOut(90);
  EXPECT_EQ(run.waitExit(30), 0) << run.drainErr(1);
  EXPECT_EQ(out, "");
}

struct StopWay {
  const char* name;
  bool byStopCommand;  // else: the watched process ends
};

void PrintTo(const StopWay& way, std::ostream* out) {
  *out << way.name;
}

class StartedDesktop : public ::testing::TestWithParam<StopWay> {};

TEST_P(StartedDesktop, StopsWithEverythingStartedInIt) {
  Child watched = spawnChild("/bin/sleep", {"300"});
  Child start =
      spawnChild(vdeskScript(), {"start", "--json", "--watch-pid", std::to_string(watched.pid)});
  auto line = start.readLine(60);
  ASSERT_TRUE(line) << start.drainErr(1);
  ASSERT_EQ(start.waitExit(30), 0);
  json env = json::parse(*line);
  std::string dir = env.at("QCU_VDESK");
  // A program started in the desktop's environment belongs to it.
  Child inside = spawnChild("/bin/sleep", {"300"}, {"QCU_VDESK=" + dir});
  ASSERT_FALSE(desktopGone(dir, 0));

  if (GetParam().byStopCommand) {
    Child stop = spawnChild(vdeskScript(), {"stop", dir});
    EXPECT_EQ(stop.waitExit(60), 0) << stop.drainErr(1);
    EXPECT_TRUE(desktopGone(dir, 0));
  } else {
    kill(watched.pid, SIGKILL);
    EXPECT_TRUE(desktopGone(dir, 30));
  }
}

INSTANTIATE_TEST_SUITE_P(Vdesk, StartedDesktop,
                         ::testing::Values(StopWay{"ByStopCommand", true},
                                           StopWay{"WhenTheWatchedProcessEnds", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Vdesk, AStalledStepIsNamedAndCleanedUp) {
  auto began = std::chrono::steady_clock::now();
  // A window manager that never announces itself, with an argument nothing else uses.
  Child run =
      spawnChild(vdeskScript(), {"--deadline", "3", "--wm", "sleep 299.25", "run", "/bin/true"});
  EXPECT_EQ(run.waitExit(60), 125);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(60));
  std::string err = run.drainErr(1);
  EXPECT_NE(err.find("window manager (sleep 299.25) did not finish within the start-up deadline"),
            std::string::npos)
      << err;
  EXPECT_EQ(processesWith("299.25", true), std::vector<std::string>{});
}

// The accessibility bus launcher that D-Bus activates hangs the first time (a stand-in placed
// first in the session bus's service directories): it is killed and activated again.
TEST(Vdesk, AStalledAccessibilityBusLauncherIsReplaced) {
  std::string real;
  std::ifstream service("/usr/share/dbus-1/services/org.a11y.Bus.service");
  for (std::string line; std::getline(service, line);) {
    if (line.rfind("Exec=", 0) == 0) real = line.substr(5);
  }
  ASSERT_FALSE(real.empty()) << "the accessibility bus is not activatable here";
  char dataHome[] = "/tmp/qcu-vdesk-test-XXXXXX";
  ASSERT_NE(mkdtemp(dataHome), nullptr);
  std::filesystem::path dir(dataHome);
  std::filesystem::create_directories(dir / "dbus-1/services");
  std::ofstream(dir / "stall-once")
      << "#!/bin/sh\n"
      << "mkdir \"$XDG_RUNTIME_DIR/stalled\" 2>/dev/null && exec sleep 300\n"
      << "exec " << real << " \"$@\"\n";
  std::filesystem::permissions(dir / "stall-once", std::filesystem::perms::owner_all);
  std::ofstream(dir / "dbus-1/services/org.a11y.Bus.service")
      << "[D-BUS Service]\nName=org.a11y.Bus\nExec=" << (dir / "stall-once").string() << "\n";

  Child run =
      spawnChild(vdeskScript(), {"run", "/bin/sh", "-c", "test -d \"$XDG_RUNTIME_DIR/stalled\""},
                 {"XDG_DATA_HOME=" + dir.string()});
  EXPECT_EQ(run.waitExit(90), 0) << run.drainErr(1);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qcu::test
