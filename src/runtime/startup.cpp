#include "runtime/startup.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <limits>

#include "desktop/platform.h"
#include "foundation/limits.h"
#include "runtime/framing.h"
#include "runtime/monitor.h"
#include "session/identity.h"
#include "session/state.h"

namespace qcu {
namespace {

constexpr std::size_t STDOUT_BUFFER_BYTES = 65536;
constexpr std::size_t READER_STACK_BYTES = 8 * 1024 * 1024;
constexpr double ACCESSIBILITY_TIMEOUT_SECONDS = 1.0;

// Digits after an optional sign; nothing when the text is not a plain decimal number or the
// magnitude exceeds limit.
std::optional<std::pair<bool, std::uint64_t>> parseDecimal(const std::string& text,
                                                           std::uint64_t limit) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (limit - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return std::make_pair(negative, value);
}

[[noreturn]] void refuseStartup() {
  static const char line[] = "computer helper startup failed\n";
  ssize_t ignored = write(2, line, sizeof line - 1);
  (void)ignored;
  _exit(1);
}

void* readerThread(void*) {
  pthread_setname_np(pthread_self(), "quorvel.reader");
  readLoop();
  return nullptr;
}

}  // namespace

std::int32_t parseInt32OrZero(const std::string& text) {
  // The negative range reaches one further than the positive one.
  auto parsed =
      parseDecimal(text, static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()) + 1);
  if (!parsed) return 0;
  auto [negative, magnitude] = *parsed;
  if (negative) return static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude));
  if (magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) return 0;
  return static_cast<std::int32_t>(magnitude);
}

std::uint64_t parseUInt64OrZero(const std::string& text) {
  auto parsed = parseDecimal(text, std::numeric_limits<std::uint64_t>::max());
  if (!parsed) return 0;
  auto [negative, magnitude] = *parsed;
  if (negative && magnitude != 0) return 0;
  return magnitude;
}

OwnerOptions parseOwnerOptions(const std::vector<std::string>& arguments) {
  OwnerOptions owner;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    bool isPid = argument == "--owner-pid";
    bool isStart = argument == "--owner-start-time-100ns";
    if (!isPid && !isStart) continue;
    if (i + 1 >= arguments.size()) break;  // an option without a value keeps the setting
    const std::string& value = arguments[++i];
    if (isPid) {
      owner.pid = parseInt32OrZero(value);
    } else {
      owner.start = parseUInt64OrZero(value);
    }
  }
  return owner;
}

bool ownerAcceptable(const OwnerOptions& owner) {
  if (owner.pid < 1 || owner.pid == getpid() || owner.start == 0) return false;
  auto actual = processStart100ns(owner.pid);
  if (!actual) return false;
  std::uint64_t difference = *actual > owner.start ? *actual - owner.start : owner.start - *actual;
  return difference <= START_TIME_TOLERANCE_100NS;
}

void runHelper(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  static char stdoutBuffer[STDOUT_BUFFER_BYTES];
  std::setvbuf(stdout, stdoutBuffer, _IOFBF, sizeof stdoutBuffer);

  if (argc <= 1) refuseStartup();
  std::vector<std::string> arguments(argv + 1, argv + argc);
  OwnerOptions owner = parseOwnerOptions(arguments);
  if (!ownerAcceptable(owner)) refuseStartup();

  ownerPidValue().set(owner.pid);
  if (auto app = platformRunningApplication(owner.pid); app && app->bundleIdentifier) {
    ownerBundleValue().set(*app->bundleIdentifier);
  }
  platformSetMessagingTimeout(ACCESSIBILITY_TIMEOUT_SECONDS);
  startMonitor(owner.pid, owner.start);

  pthread_attr_t attributes;
  pthread_t reader;
  if (pthread_attr_init(&attributes) != 0 ||
      pthread_attr_setstacksize(&attributes, READER_STACK_BYTES) != 0 ||
      pthread_create(&reader, &attributes, readerThread, nullptr) != 0) {
    refuseStartup();
  }
  pthread_attr_destroy(&attributes);

  // The main thread only parks; the process ends through exitProcess.
  for (;;)
    pause();
}

}  // namespace qcu
