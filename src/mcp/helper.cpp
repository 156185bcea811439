#include "mcp/helper.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "foundation/json.h"
#include "foundation/limits.h"
#include "foundation/lines.h"
#include "mcp/jsonrpc.h"

namespace qcu::mcp {

using SteadyClock = std::chrono::steady_clock;

struct HelperLink {
  pid_t pid = -1;
  int input = -1;   // the helper's standard input; non-blocking, so a stuck helper cannot wedge us
  int output = -1;  // the helper's standard output, read only by the reader thread
  EventSink onEvent;
  EndSink onEnd;
  std::thread reader;

  std::mutex writeLock;  // guards the write of one request line, so lines never interleave

  std::mutex lock;  // guards everything below
  std::condition_variable changed;
  std::map<std::string, std::optional<json>> waiting;  // request id -> its answer once read
  std::uint64_t lastId = 0;
  bool ended = false;         // the helper's output ended or it exited: no more answers
  bool reaped = false;        // its exit status was collected; its pid may belong to another
  bool endRequested = false;  // this server ended it: not reported through onEnd
  bool announceEnd = false;   // set once start-up succeeded
  bool readerJoined = false;
  std::string how = "running";  // how it ended
};

namespace {

constexpr double EXIT_WAIT_SECONDS = 2.0;  // after its output ends, for the helper to exit
constexpr int READER_POLL_MS = 200;

SteadyClock::time_point after(double seconds) {
  return SteadyClock::now() +
         std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(seconds));
}

std::string describeStatus(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "ended";
}

// True once the helper has exited, without collecting its status (it stays a zombie, so its pid
// cannot be reused while the link might still signal it).
bool hasExited(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

// Collects the exit status, killing the helper when it does not exit within the wait. The pid
// is signalled and reaped only under the link's lock.
void reap(HelperLink& link) {
  const auto deadline = after(EXIT_WAIT_SECONDS);
  while (!hasExited(link.pid) && SteadyClock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard guard(link.lock);
  if (!hasExited(link.pid)) kill(link.pid, SIGKILL);
  int status = 0;
  while (waitpid(link.pid, &status, 0) < 0 && errno == EINTR) {
  }
  link.reaped = true;
  if (link.how == "running") link.how = describeStatus(status);
  link.changed.notify_all();
}

void handleLine(HelperLink& link, std::string_view line) {
  std::optional<json> decoded = decodeJson(line);
  if (!decoded || !decoded->is_object()) return;
  json message = std::move(*decoded);
  if (message.value("type", "") == "event") {
    if (link.onEvent) link.onEvent(message);
    return;
  }
  auto id = message.find("requestId");
  if (id == message.end() || !id->is_string()) return;
  std::lock_guard guard(link.lock);
  auto waiting = link.waiting.find(id->get<std::string>());
  // An answer nobody waits for any more (its caller gave up) is dropped.
  if (waiting == link.waiting.end()) return;
  waiting->second = std::move(message);
  link.changed.notify_all();
}

void readAnswers(HelperLink* link) {
  // The helper's lines are at most its message limit; anything longer is not an answer.
  LineFramer framer([link](std::string_view line) { handleLine(*link, line); }, [] {},
                    MAX_MESSAGE_BYTES + 1);
  char chunk[65536];
  for (;;) {
    pollfd p{link->output, POLLIN, 0};
    int ready = poll(&p, 1, READER_POLL_MS);
    if (ready < 0 && errno == EINTR) continue;
    // A helper that exited ends the link even when something it left behind holds its output.
    if (ready == 0) {
      if (hasExited(link->pid)) break;
      continue;
    }
    if (ready < 0) break;
    ssize_t got = read(link->output, chunk, sizeof chunk);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) break;
    framer.feed(chunk, static_cast<std::size_t>(got));
  }
  bool report = false;
  {
    std::lock_guard guard(link->lock);
    link->ended = true;
    // Decided now: whoever ends the link after this (to start another) did not end the helper.
    report = link->announceEnd && !link->endRequested;
    link->changed.notify_all();
  }
  reap(*link);
  std::string how;
  {
    std::lock_guard guard(link->lock);
    how = link->how;
  }
  if (report && link->onEnd) link->onEnd(how);
}

// Writes all of line before the deadline. False when the helper stopped reading or is gone.
bool writeLine(HelperLink& link, const std::string& line, SteadyClock::time_point deadline) {
  std::size_t sent = 0;
  while (sent < line.size()) {
    ssize_t n = write(link.input, line.data() + sent, line.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    if (left.count() <= 0) return false;
    pollfd p{link.input, POLLOUT, 0};
    poll(&p, 1, static_cast<int>(left.count()));
  }
  return true;
}

// Forks and executes the helper with its input and output on the two pipes. The child dies
// with the thread that forked it (the server's worker, which lives as long as the server).
// Returns the pid, or -1 with the reason in failure.
pid_t spawn(const HelperOptions& options, int input, int output, std::string& failure) {
  std::vector<std::string> arguments = {
      options.path, "--owner-pid", std::to_string(options.ownerPid), "--owner-start-time-100ns",
      std::to_string(options.ownerStart100ns)};
  arguments.insert(arguments.end(), options.extraArguments.begin(), options.extraArguments.end());
  std::vector<char*> argv;
  for (auto& argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);

  int report[2];  // carries errno when exec fails; closes unread when exec succeeds
  if (pipe2(report, O_CLOEXEC) != 0) {
    failure = std::string("cannot make a pipe: ") + std::strerror(errno);
    return -1;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    if (dup2(input, 0) < 0 || dup2(output, 1) < 0) _exit(127);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    execv(argv[0], argv.data());
    int error = errno;
    ssize_t ignored = write(report[1], &error, sizeof error);
    (void)ignored;
    _exit(127);
  }
  close(report[1]);
  if (pid < 0) {
    failure = std::string("cannot fork: ") + std::strerror(errno);
    close(report[0]);
    return -1;
  }
  int error = 0;
  ssize_t got;
  while ((got = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (got == static_cast<ssize_t>(sizeof error)) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    failure = "cannot run " + options.path + ": " + std::strerror(error);
    return -1;
  }
  return pid;
}

}  // namespace

std::shared_ptr<HelperLink> startHelper(const HelperOptions& options, EventSink onEvent,
                                        EndSink onEnd, std::string& failure) {
  int toHelper[2];
  int fromHelper[2];
  if (pipe2(toHelper, O_CLOEXEC) != 0) {
    failure = std::string("cannot make a pipe: ") + std::strerror(errno);
    return nullptr;
  }
  if (pipe2(fromHelper, O_CLOEXEC) != 0) {
    failure = std::string("cannot make a pipe: ") + std::strerror(errno);
    close(toHelper[0]);
    close(toHelper[1]);
    return nullptr;
  }
  const pid_t pid = spawn(options, toHelper[0], fromHelper[1], failure);
  close(toHelper[0]);
  close(fromHelper[1]);
  if (pid < 0) {
    close(toHelper[1]);
    close(fromHelper[0]);
    return nullptr;
  }
  auto link = std::make_shared<HelperLink>();
  link->pid = pid;
  link->input = toHelper[1];
  link->output = fromHelper[0];
  link->onEvent = std::move(onEvent);
  link->onEnd = std::move(onEnd);
  fcntl(link->input, F_SETFL, fcntl(link->input, F_GETFL) | O_NONBLOCK);
  link->reader = std::thread(readAnswers, link.get());

  constexpr double HELLO_SECONDS = 10.0;
  HelperAnswer hello =
      askHelper(*link, "hello", {{"protocolVersion", PROTOCOL_VERSION}}, HELLO_SECONDS);
  if (hello.answered && hello.message.value("ok", false) == true) {
    std::lock_guard guard(link->lock);
    link->announceEnd = true;
    return link;
  }
  endHelper(*link, 0.5);
  if (!hello.answered) {
    std::lock_guard guard(link->lock);
    failure = "the helper ended during start-up (" + link->how + ")";
  } else {
    failure = "the helper refused the greeting (" + hello.message.value("code", "") + ": " +
              hello.message.value("message", "") + ")";
  }
  return nullptr;
}

HelperAnswer askHelper(HelperLink& link, const std::string& type, json fields,
                       double timeoutSeconds) {
  HelperAnswer answer;
  const auto started = SteadyClock::now();
  const auto deadline = after(timeoutSeconds);
  std::string id;
  {
    std::lock_guard guard(link.lock);
    if (link.ended) {
      answer.failure = "the helper has ended (" + link.how + ")";
      return answer;
    }
    id = "mcp-" + std::to_string(++link.lastId);
    link.waiting[id] = std::nullopt;
  }
  fields["v"] = PROTOCOL_VERSION;
  fields["requestId"] = id;
  fields["type"] = type;
  const std::string line = encodeLine(fields);
  bool written = false;
  if (line.size() - 1 > MAX_MESSAGE_BYTES) {
    // The helper would answer without the request id; refuse here instead.
    answer.failure = "the request is larger than the helper accepts";
    answer.tooLarge = true;
  } else {
    std::lock_guard guard(link.writeLock);
    written = writeLine(link, line, deadline);
    if (!written) answer.failure = "the helper did not take the request";
  }
  std::unique_lock guard(link.lock);
  if (written) {
    link.changed.wait_until(guard, deadline,
                            [&] { return link.waiting[id].has_value() || link.ended; });
    if (link.waiting[id]) {
      answer.answered = true;
      answer.message = std::move(*link.waiting[id]);
    } else if (link.ended) {
      answer.failure = "the helper ended before answering";
    } else {
      answer.failure = "the helper did not answer in time";
    }
  }
  link.waiting.erase(id);
  answer.seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
  return answer;
}

bool helperRunning(HelperLink& link) {
  std::lock_guard guard(link.lock);
  return !link.ended;
}

pid_t helperPid(const HelperLink& link) {
  return link.pid;
}

void endHelper(HelperLink& link, double graceSeconds) {
  {
    // After any request line being written; lock order: writeLock, then lock.
    std::lock_guard writing(link.writeLock);
    std::lock_guard guard(link.lock);
    link.endRequested = true;
    if (link.input >= 0) {
      // End of input: the helper cancels its work and exits on its own.
      close(link.input);
      link.input = -1;
    }
  }
  std::unique_lock guard(link.lock);
  if (!link.changed.wait_until(guard, after(graceSeconds), [&] { return link.reaped; })) {
    kill(link.pid, SIGKILL);
    link.changed.wait(guard, [&] { return link.reaped; });
  }
  if (link.readerJoined) return;
  link.readerJoined = true;
  guard.unlock();
  link.reader.join();
  close(link.output);
}

}  // namespace qcu::mcp
