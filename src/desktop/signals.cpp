#include "desktop/signals.h"

#include "desktop/platform.h"
#include "session/identity.h"

namespace qcu {
namespace {

// The hardware event source state: events from the devices, not posted ones.
constexpr std::uint32_t HID_SYSTEM_STATE = 1;

// Mouse buttons 1-2 down and up, moves, left and right drags, key down and up, modifier
// changes, scroll wheel, other button down. Other-button up and drag are not counted.
constexpr std::uint32_t INPUT_EVENT_TYPES[] = {1, 2, 3, 4, 5, 6, 7, 10, 11, 12, 22, 25};

// Last path component; trailing separators are not components.
std::string lastPathComponent(const std::string& path) {
  auto end = path.find_last_not_of('/');
  if (end == std::string::npos) return {};
  auto start = path.rfind('/', end);
  start = start == std::string::npos ? 0 : start + 1;
  return path.substr(start, end + 1 - start);
}

}  // namespace

bool inputCounterAvailable() {
  return platformEventCounterAvailable();
}

std::int64_t userInputEpoch() {
  if (!inputCounterAvailable()) return -1;
  std::int64_t sum = 0;
  for (std::uint32_t type : INPUT_EVENT_TYPES) {
    sum += static_cast<std::int64_t>(platformEventCount(HID_SYSTEM_STATE, type));
  }
  return sum;
}

bool screenLocked() {
  if (permissionsForcedOff()) return false;
  auto session = platformSessionDictionary();
  if (!session || !session->is_object()) return true;
  auto locked = session->find("CGSSessionScreenIsLocked");
  if (locked != session->end() && locked->is_boolean() && locked->get<bool>()) return true;
  auto onConsole = session->find("kCGSSessionOnConsoleKey");
  if (onConsole != session->end() && onConsole->is_boolean()) return !onConsole->get<bool>();
  return false;
}

ProcMeta processMeta(std::int32_t pid) {
  ProcMeta meta;
  // Ids below 1 name no process, so nothing is known about them.
  if (pid < 1) return meta;
  auto app = platformRunningApplication(pid);
  if (!app) return meta;
  if (app->executablePath) meta.name = lastPathComponent(*app->executablePath);
  if (meta.name.empty() && app->localizedName) meta.name = *app->localizedName;
  if (app->localizedName) meta.product = *app->localizedName;
  if (app->bundleIdentifier) meta.bundle = *app->bundleIdentifier;
  return meta;
}

}  // namespace qcu
