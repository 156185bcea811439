// Runs a helper executable as a child over pipes, the way its owner does.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qcu::test {

// Start time of a process in 100-ns units since 1970, read from /proc as the owner would.
std::optional<std::uint64_t> startTime100ns(pid_t pid);

struct Child {
  pid_t pid = -1;
  int in = -1;   // the child's standard input
  int out = -1;  // the child's standard output
  int err = -1;  // the child's standard error
  std::string pendingOut;

  Child() = default;
  Child(Child&& other) noexcept
      : pid(other.pid),
        in(other.in),
        out(other.out),
        err(other.err),
        pendingOut(std::move(other.pendingOut)) {
    other.pid = other.in = other.out = other.err = -1;
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();
  // Writes raw bytes to the child's standard input.
  void write(const std::string& bytes);
  void closeInput();
  // The next line of standard output within the timeout (without its line feed).
  std::optional<std::string> readLine(double timeoutSeconds = 5.0);
  std::optional<nlohmann::json> readMessage(double timeoutSeconds = 5.0);
  // Everything on standard output/error until end of file or the timeout.
  std::string drainOut(double timeoutSeconds = 5.0);
  std::string drainErr(double timeoutSeconds = 5.0);
  // The exit status within the timeout; none when still running (then it is killed).
  std::optional<int> waitExit(double timeoutSeconds = 5.0);
};

// Starts the executable with the arguments and extra environment entries ("NAME=value"). The
// descriptors in inherit stay open in the child under their own numbers.
Child spawnChild(const std::string& path, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment = {},
                 const std::vector<int>& inherit = {});

// Starts the helper owned by this test process.
Child spawnOwnedHelper(const std::string& path, const std::vector<std::string>& extra = {},
                       const std::vector<std::string>& environment = {},
                       const std::vector<int>& inherit = {});

}  // namespace qcu::test
