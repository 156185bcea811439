// quorvel-cu-mcp: a Model Context Protocol server over standard input and output that owns one
// helper process and offers its one-window control as tools.
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "desktop/procfs.h"
#include "mcp/server.h"

namespace {

constexpr const char* USAGE =
    "usage: quorvel-cu-mcp [--helper PATH] [--timing] [-- HELPER-ARGUMENTS...]\n"
    "Serves MCP over standard input and output. The helper (default: quorvel-cu beside this\n"
    "program) is started as this server's child; arguments after -- are passed to it.\n"
    "--timing adds the server's and the helper's time to every tool result.\n";

[[noreturn]] void fail(const std::string& message, int status) {
  std::fprintf(stderr, "quorvel-cu-mcp: %s\n", message.c_str());
  std::exit(status);
}

std::string besideThisProgram(const char* name) {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return name;
  std::string self(path, static_cast<std::size_t>(length));
  auto slash = self.rfind('/');
  return self.substr(0, slash == std::string::npos ? 0 : slash + 1) + name;
}

qcu::mcp::ServerOptions parseOptions(int argc, char** argv) {
  qcu::mcp::ServerOptions options;
  options.helper.path = besideThisProgram("quorvel-cu");
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--") {
      options.helper.extraArguments.assign(argv + i + 1, argv + argc);
      break;
    }
    if (argument == "--helper" && i + 1 < argc) {
      options.helper.path = argv[++i];
    } else if (argument == "--timing") {
      options.timing = true;
    } else if (argument == "--help" || argument == "-h") {
      std::fputs(USAGE, stdout);
      std::exit(0);
    } else {
      std::fputs(USAGE, stderr);
      fail("unknown argument " + argument, 2);
    }
  }
  return options;
}

// Ends the server on a termination signal, taking the helper with it.
void watchSignals(sigset_t signals) {
  int signal = 0;
  while (sigwait(&signals, &signal) != 0) {
  }
  qcu::mcp::shutDown(128 + signal);
}

}  // namespace

int main(int argc, char** argv) {
  qcu::mcp::ServerOptions options = parseOptions(argc, argv);
  // The helper checks that its owner is this exact process: its id and its start time.
  const auto started = qcu::procfsProcessStart(getpid());
  const auto start100ns = started ? qcu::startTime100ns(*started) : std::nullopt;
  if (!start100ns) fail("cannot read this process's start time from /proc", 1);
  options.helper.ownerPid = getpid();
  options.helper.ownerStart100ns = *start100ns;

  // Writing to a client or helper that went away must not end the server.
  signal(SIGPIPE, SIG_IGN);
  // Every thread started from here on leaves these signals to the watcher.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGHUP})
    sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread(watchSignals, signals).detach();

  qcu::mcp::serve(options);
}
