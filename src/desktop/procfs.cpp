#include "desktop/procfs.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qcu {
namespace {

std::optional<std::int64_t> parseInt64(const std::string& text) {
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Boot time in seconds since 1970 ("btime" of /proc/stat). The kernel derives it from the
// current wall clock, so it moves when the clock is set; it is read once per process so that a
// clock adjustment never changes a start time (and with it an identity) within one run.
std::optional<std::int64_t> bootTime() {
  static const std::optional<std::int64_t> cached = []() -> std::optional<std::int64_t> {
    std::ifstream file("/proc/stat");
    std::string line;
    while (std::getline(file, line)) {
      if (line.rfind("btime ", 0) == 0) {
        auto value = parseInt64(line.substr(6));
        if (value && *value > 0) return value;
        return std::nullopt;
      }
    }
    return std::nullopt;
  }();
  return cached;
}

// Clock ticks per second of the start-time field.
std::int64_t ticksPerSecond() {
  static const std::int64_t hz = [] {
    long value = sysconf(_SC_CLK_TCK);
    return value > 0 ? static_cast<std::int64_t>(value) : std::int64_t{100};
  }();
  return hz;
}

// The fields of /proc/<pid>/stat after the command name, starting with the state (field 3).
// The command name is in parentheses and may itself hold spaces and parentheses, so the fields
// begin after the last ')'.
std::optional<std::vector<std::string>> statFields(std::int32_t pid) {
  if (pid < 1) return std::nullopt;
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(file, line)) return std::nullopt;
  auto close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream rest(line.substr(close + 1));
  std::vector<std::string> fields;
  std::string field;
  while (rest >> field)
    fields.push_back(field);
  if (fields.empty()) return std::nullopt;
  return fields;
}

// A zombie ('Z') or dead ('X', 'x') process has exited; only its record is left.
bool hasExited(const std::vector<std::string>& fields) {
  return fields[0] == "Z" || fields[0] == "X" || fields[0] == "x";
}

}  // namespace

std::optional<ProcessStart> procfsProcessStart(std::int32_t pid) {
  auto fields = statFields(pid);
  // Field 22 (starttime) is the 20th field after the command name.
  if (!fields || fields->size() < 20 || hasExited(*fields)) return std::nullopt;
  auto ticks = parseInt64((*fields)[19]);
  auto boot = bootTime();
  if (!ticks || *ticks < 0 || !boot) return std::nullopt;
  std::int64_t hz = ticksPerSecond();
  return ProcessStart{*boot + *ticks / hz, (*ticks % hz) * 1'000'000 / hz};
}

bool procfsProcessAlive(std::int32_t pid) {
  // kill() with 0 or a negative id addresses process groups, never one process.
  if (pid < 1) return false;
  if (kill(pid, 0) != 0 && errno != EPERM) return false;
  auto fields = statFields(pid);
  // A process that exists but whose record vanished in between has just exited.
  return fields && !hasExited(*fields);
}

}  // namespace qcu
