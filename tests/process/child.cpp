#include "process/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace qcu::test {
namespace {

using SteadyClock = std::chrono::steady_clock;

double remaining(SteadyClock::time_point deadline) {
  return std::chrono::duration<double>(deadline - SteadyClock::now()).count();
}

// Reads what is available on fd into buffer; false at end of file or when nothing came in time.
bool readSome(int fd, std::string& buffer, double timeoutSeconds) {
  pollfd p{fd, POLLIN, 0};
  int ready = poll(&p, 1, std::max(0, static_cast<int>(timeoutSeconds * 1000)));
  if (ready <= 0) return false;
  char chunk[65536];
  ssize_t got = ::read(fd, chunk, sizeof chunk);
  if (got <= 0) return false;
  buffer.append(chunk, static_cast<std::size_t>(got));
  return true;
}

std::string drain(int fd, double timeoutSeconds, std::string initial = {}) {
  auto deadline = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                           std::chrono::duration<double>(timeoutSeconds));
  std::string all = std::move(initial);
  while (remaining(deadline) > 0 && readSome(fd, all, remaining(deadline))) {
  }
  return all;
}

}  // namespace

std::optional<std::uint64_t> startTime100ns(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  auto close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  std::uint64_t ticks = 0;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) ticks = std::stoull(field);
  }
  std::ifstream procStat("/proc/stat");
  std::string line;
  std::uint64_t boot = 0;
  while (std::getline(procStat, line)) {
    if (line.rfind("btime ", 0) == 0) boot = std::stoull(line.substr(6));
  }
  if (boot == 0) return std::nullopt;
  auto hz = static_cast<std::uint64_t>(sysconf(_SC_CLK_TCK));
  return boot * 10'000'000ull + ticks * 10'000'000ull / hz;
}

Child::~Child() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  for (int fd : {in, out, err}) {
    if (fd >= 0) ::close(fd);
  }
}

void Child::write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t wrote = ::write(in, bytes.data() + done, bytes.size() - done);
    if (wrote <= 0) return;
    done += static_cast<std::size_t>(wrote);
  }
}

void Child::closeInput() {
  if (in >= 0) ::close(in);
  in = -1;
}

std::optional<std::string> Child::readLine(double timeoutSeconds) {
  auto deadline = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                           std::chrono::duration<double>(timeoutSeconds));
  for (;;) {
    auto lf = pendingOut.find('\n');
    if (lf != std::string::npos) {
      std::string line = pendingOut.substr(0, lf);
      pendingOut.erase(0, lf + 1);
      return line;
    }
    if (remaining(deadline) <= 0 || !readSome(out, pendingOut, remaining(deadline))) {
      return std::nullopt;
    }
  }
}

std::optional<nlohmann::json> Child::readMessage(double timeoutSeconds) {
  auto line = readLine(timeoutSeconds);
  if (!line) return std::nullopt;
  return nlohmann::json::parse(*line);
}

std::string Child::drainOut(double timeoutSeconds) {
  std::string initial;
  initial.swap(pendingOut);
  return drain(out, timeoutSeconds, std::move(initial));
}

std::string Child::drainErr(double timeoutSeconds) {
  return drain(err, timeoutSeconds);
}

std::optional<int> Child::waitExit(double timeoutSeconds) {
  auto deadline = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                           std::chrono::duration<double>(timeoutSeconds));
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      pid = -1;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return 128 + WTERMSIG(status);
    }
    if (remaining(deadline) <= 0) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

Child spawnChild(const std::string& path, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment, const std::vector<int>& inherit) {
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 ||
      pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  std::vector<std::string> argvStore{path};
  argvStore.insert(argvStore.end(), arguments.begin(), arguments.end());
  pid_t pid = fork();
  if (pid == 0) {
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    for (const auto& entry : environment)
      putenv(const_cast<char*>(entry.c_str()));
    for (int fd : inherit)
      fcntl(fd, F_SETFD, 0);
    std::vector<char*> argv;
    for (auto& a : argvStore)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  Child child;
  child.pid = pid;
  child.in = inPipe[1];
  child.out = outPipe[0];
  child.err = errPipe[0];
  return child;
}

Child spawnOwnedHelper(const std::string& path, const std::vector<std::string>& extra,
                       const std::vector<std::string>& environment,
                       const std::vector<int>& inherit) {
  std::vector<std::string> arguments{"--owner-pid", std::to_string(getpid()),
                                     "--owner-start-time-100ns",
                                     std::to_string(startTime100ns(getpid()).value_or(0))};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  return spawnChild(path, arguments, environment, inherit);
}

std::optional<Json> readUntil(Child& helper, const std::function<bool(const Json&)>& want,
                              std::vector<Json>& others, double timeoutSeconds) {
  auto deadline = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                           std::chrono::duration<double>(timeoutSeconds));
  while (remaining(deadline) > 0) {
    auto message = helper.readMessage(remaining(deadline));
    if (!message) break;
    if (want(*message)) return message;
    others.push_back(*message);
  }
  ADD_FAILURE() << "no awaited message within " << timeoutSeconds << " s";
  return std::nullopt;
}

Json ask(Child& helper, const std::string& type, const std::string& id, const Json& fields,
         std::vector<Json>& others, double timeoutSeconds) {
  helper.write(requestLine(type, id, fields));
  auto answer = readUntil(
      helper, [&](const Json& m) { return m.value("requestId", "") == id; }, others,
      timeoutSeconds);
  return answer.value_or(Json());
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qcu-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& text) const {
  const std::string file = path_ + "/" + name;
  std::ofstream(file) << text;
  return file;
}

Json Control::send(const Json& command, double timeoutSeconds) {
  auto deadline = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                           std::chrono::duration<double>(timeoutSeconds));
  std::string line = command.dump() + "\n";
  if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    ADD_FAILURE() << "control command not written: " << command;
    return {};
  }
  for (;;) {
    auto lf = pending.find('\n');
    if (lf != std::string::npos) {
      Json reply = Json::parse(pending.substr(0, lf));
      pending.erase(0, lf + 1);
      return reply;
    }
    if (remaining(deadline) <= 0 || !readSome(fd, pending, remaining(deadline))) {
      ADD_FAILURE() << "no reply to the control command " << command;
      return {};
    }
  }
}

SimHelper::SimHelper(const Json& description) {
  const std::string desk = dir.write("desk.json", description.dump());
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    throw std::runtime_error("socketpair");
  }
  child = spawnOwnedHelper(QCU_HELPER_SIM,
                           {"--sim-desktop", desk, "--sim-control", std::to_string(pair[1])}, {},
                           {pair[1]});
  ::close(pair[1]);
  control.fd = pair[0];
  Json hello = ask("hello", "hello", {{"protocolVersion", 1}});
  EXPECT_EQ(hello["ok"], true) << hello;
}

SimHelper::~SimHelper() {
  if (control.fd >= 0) ::close(control.fd);
}

Json SimHelper::ask(const std::string& type, const std::string& id, const Json& fields,
                    double timeoutSeconds) {
  return test::ask(child, type, id, fields, events, timeoutSeconds);
}

}  // namespace qcu::test
