// The real executables over pipes: start-up, framing, dispatch, lifecycle and exits.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "process/child.h"

namespace qcu::test {
namespace {

const std::string REAL = QCU_HELPER_REAL;
const std::string SIM = QCU_HELPER_SIM;

std::vector<std::string> helpers() {
  std::vector<std::string> paths{SIM};
  if (!REAL.empty()) paths.push_back(REAL);
  return paths;
}

void expectRefused(Child& child) {
  EXPECT_EQ(child.waitExit(), 1);
  EXPECT_EQ(child.drainErr(1), "computer helper startup failed\n");
  EXPECT_EQ(child.drainOut(1), "");
}

TEST(Startup, AcceptsAnOwnerWithinTwoSecondsAndRefusesAnythingElse) {
  std::string self = std::to_string(getpid());
  std::uint64_t start = *startTime100ns(getpid());
  for (const auto& path : helpers()) {
    SCOPED_TRACE(path);
    {
      Child ok = spawnChild(path, {"--owner-pid", self, "--owner-start-time-100ns",
                                   std::to_string(start + 15'000'000)});
      ok.write(requestLine("ping", "p"));
      auto reply = ok.readMessage();
      ASSERT_TRUE(reply.has_value());
      EXPECT_EQ((*reply)["type"], "ping");
      ok.closeInput();
      EXPECT_EQ(ok.waitExit(), 0);
    }
    Child off = spawnChild(path, {"--owner-pid", self, "--owner-start-time-100ns",
                                  std::to_string(start - 25'000'000)});
    expectRefused(off);
    Child none = spawnChild(path, {});
    expectRefused(none);
    Child last =
        spawnChild(path, {"--owner-start-time-100ns", std::to_string(start), "--owner-pid"});
    expectRefused(last);
    Child letters = spawnChild(
        path, {"--owner-pid", self + "x", "--owner-start-time-100ns", std::to_string(start)});
    expectRefused(letters);
    Child twice = spawnChild(path, {"--owner-pid", "1", "junk", "--owner-pid", "+" + self,
                                    "--owner-start-time-100ns", std::to_string(start)});
    twice.write(requestLine("ping", "p"));
    EXPECT_TRUE(twice.readMessage().has_value());
  }
}

TEST(Startup, RefusesItsOwnProcessIdAsOwner) {
  // The helper's own id is only known once it runs: a shell reads its own start time and execs
  // the helper, which keeps the shell's pid and start time.
  for (const auto& path : helpers()) {
    SCOPED_TRACE(path);
    std::string inner =
        "t=$(awk '{print $22}' /proc/$$/stat); b=$(awk '/^btime/{print $2}' /proc/stat); "
        "hz=$(getconf CLK_TCK); exec \"$0\" --owner-pid $$ --owner-start-time-100ns "
        "$((b*10000000 + t*10000000/hz))";
    Child child = spawnChild("/bin/sh", {"-c", inner, path});
    expectRefused(child);
  }
}

TEST(Framing, EveryLineGetsExactlyOneAnswerInOrder) {
  Child helper = spawnOwnedHelper(SIM);
  std::string bytes;
  bytes += requestLine("ping", "a");
  bytes += "\r\n";                                                 // ignored
  bytes += std::string(65537, 'x') + "\n";                         // oversize
  bytes += requestLine("ping", "b");                               // normal
  bytes += "[1,2]\n";                                              // malformed
  bytes += "{\"v\":1,\"requestId\":\"c\",\"type\":\"ping\"}\r\n";  // CRLF
  bytes += "\x01\x02\xff\n";                                       // garbage bytes
  bytes += requestLine("ping", "a");                               // duplicate
  // The longest line taken: a request padded with spaces to 65536 bytes before its line feed.
  std::string longest = requestLine("ping", "max");
  longest.pop_back();
  bytes += longest + std::string(65536 - longest.size(), ' ') + "\n";
  helper.write(bytes);
  std::vector<std::pair<std::string, std::string>> expected = {
      {"a", "ping"}, {"none", "error"}, {"b", "ping"},  {"none", "error"},
      {"c", "ping"}, {"none", "error"}, {"a", "error"}, {"max", "ping"}};
  for (const auto& [id, type] : expected) {
    auto reply = helper.readMessage();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ((*reply)["requestId"], id);
    EXPECT_EQ((*reply)["type"], type);
  }
  // A partial line at end of input gets no answer, and the process ends with status 0.
  helper.write("{\"v\":1,\"requestId\":\"tail\",\"type\":\"ping\"}");
  helper.closeInput();
  EXPECT_EQ(helper.waitExit(), 0);
  EXPECT_EQ(helper.drainOut(1), "");
}

TEST(Dispatch, DuplicateMemoryPast2048IdsOverPipes) {
  Child helper = spawnOwnedHelper(SIM);
  std::string bytes;
  for (int i = 0; i <= 2048; ++i)
    bytes += requestLine("ping", "id" + std::to_string(i));
  bytes += requestLine("ping", "id0");
  bytes += requestLine("ping", "id2048");
  std::thread writer([&] { helper.write(bytes); });
  for (int i = 0; i <= 2048; ++i)
    ASSERT_TRUE(helper.readLine().has_value());
  EXPECT_EQ((*helper.readMessage())["ok"], true);
  EXPECT_EQ((*helper.readMessage())["code"], "duplicate_request");
  writer.join();
}

TEST(Lifecycle, HelloReportsThePlatformAndThePermissionSwitch) {
  for (const auto& path : helpers()) {
    SCOPED_TRACE(path);
    Child plain = spawnOwnedHelper(path);
    plain.write(requestLine("hello", "h", {{"protocolVersion", 1}}));
    auto hello = plain.readMessage();
    ASSERT_TRUE(hello.has_value());
    EXPECT_EQ((*hello)["ok"], true);
    EXPECT_EQ((*hello)["platform"], path == SIM ? "darwin" : "linux");
    Child forced = spawnOwnedHelper(path, {}, {"QUORVEL_CU_FORCE_NO_PERMISSIONS=1"});
    forced.write(requestLine("hello", "h", {{"protocolVersion", 1}}));
    auto off = forced.readMessage();
    ASSERT_TRUE(off.has_value());
    EXPECT_EQ((*off)["permissions"], (Json{{"accessibility", false}, {"screenRecording", false}}));
  }
}

TEST(Lifecycle, CancelStopShutdownAndNoLineReadAfterShutdown) {
  Child helper = spawnOwnedHelper(SIM);
  helper.write(requestLine("cancel", "c", {{"attemptId", "nothing"}}) + requestLine("stop", "s") +
               requestLine("clipboard_sequence", "q") + requestLine("shutdown", "x") +
               requestLine("ping", "late"));
  EXPECT_EQ((*helper.readMessage())["cancelled"], false);
  EXPECT_EQ((*helper.readMessage())["stopped"], true);
  auto sequence = helper.readMessage();
  EXPECT_TRUE((*sequence)["sequence"].is_number_unsigned());
  EXPECT_EQ(*helper.readMessage(),
            (Json{{"v", 1}, {"type", "shutdown"}, {"requestId", "x"}, {"ok", true}}));
  EXPECT_EQ(helper.waitExit(), 0);
  EXPECT_EQ(helper.drainOut(1), "");
}

TEST(Owner, HelperExitsSoonAfterItsOwnerDies) {
  for (const auto& path : helpers()) {
    SCOPED_TRACE(path);
    Child owner = spawnChild("/bin/sleep", {"30"});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto ownerStart = startTime100ns(owner.pid);
    ASSERT_TRUE(ownerStart.has_value());
    Child helper = spawnChild(path, {"--owner-pid", std::to_string(owner.pid),
                                     "--owner-start-time-100ns", std::to_string(*ownerStart)});
    helper.write(requestLine("ping", "p"));
    ASSERT_TRUE(helper.readMessage().has_value());
    auto killed = std::chrono::steady_clock::now();
    kill(owner.pid, SIGKILL);
    EXPECT_EQ(owner.waitExit(), 128 + SIGKILL);
    EXPECT_EQ(helper.waitExit(3), 0);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
    EXPECT_LT(took, 3.0);  // five ticks of 100 ms, with room for a loaded machine and sanitizers
  }
}

}  // namespace
}  // namespace qcu::test
