// Runs a helper executable as a child over pipes, the way its owner does.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/wire.h"

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
  // Takes other's process; other is left with what this one held, and ends it.
  Child& operator=(Child&& other) noexcept {
    std::swap(pid, other.pid);
    std::swap(in, other.in);
    std::swap(out, other.out);
    std::swap(err, other.err);
    std::swap(pendingOut, other.pendingOut);
    return *this;
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

// Reads messages until one satisfies want, and returns it; the others read meanwhile go to
// others. Fails the test and returns none when none comes within the timeout.
std::optional<Json> readUntil(Child& helper, const std::function<bool(const Json&)>& want,
                              std::vector<Json>& others, double timeoutSeconds = 10);

// Sends a request to the helper and returns its answer (null, and a test failure, when none
// comes within the timeout); the messages read meanwhile go to others.
Json ask(Child& helper, const std::string& type, const std::string& id, const Json& fields,
         std::vector<Json>& others, double timeoutSeconds = 10);

// A temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // Writes a file of the directory and returns its path.
  std::string write(const std::string& name, const std::string& text) const;

 private:
  std::string path_;
};

// The test's end of the simulated desktop's control socket.
struct Control {
  int fd = -1;
  std::string pending;
  // Sends one command and returns its reply; null (and a test failure) when none comes within
  // the timeout.
  Json send(const Json& command, double timeoutSeconds = 10);
};

// The simulated helper owned by this test, started on a desktop description with a control
// socket, after its "hello" was answered.
struct SimHelper {
  TempDir dir;
  Child child;
  Control control;
  std::vector<Json> events;  // messages read while waiting for answers

  explicit SimHelper(const Json& description);
  ~SimHelper();
  SimHelper(const SimHelper&) = delete;
  SimHelper& operator=(const SimHelper&) = delete;
  // Sends a request and returns its answer (null, and a test failure, when none comes in time);
  // the messages read meanwhile are kept in events.
  Json ask(const std::string& type, const std::string& id, const Json& fields = Json::object(),
           double timeoutSeconds = 10);
};

}  // namespace qcu::test
