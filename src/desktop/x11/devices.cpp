// The helper's private master pair: adding it, finding its devices, removing it, and removing
// what helpers that no longer run left behind.
#include <X11/extensions/XInput2.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "desktop/x11/input.h"

namespace qcu::x11 {
namespace {

constexpr std::string_view PAIR_PREFIX = "quorvel-cu-";
constexpr std::string_view POINTER_SUFFIX = " pointer";

struct Device {
  int id = 0;
  int use = 0;
  int attachment = 0;
  std::string name;
};

std::vector<Device> devices(Display* display, int which) {
  std::vector<Device> list;
  int count = 0;
  XIDeviceInfo* info = XIQueryDevice(display, which, &count);
  if (!info) return list;
  for (int i = 0; i < count; ++i)
    list.push_back(
        {info[i].deviceid, info[i].use, info[i].attachment, info[i].name ? info[i].name : ""});
  XIFreeDeviceInfo(info);
  return list;
}

int idOf(const std::vector<Device>& list, int use, const std::string& name) {
  for (const auto& device : list) {
    if (device.use == use && device.name == name) return device.id;
  }
  return 0;
}

void removeMaster(Display* display, int pointer) {
  const auto masters = devices(display, XIAllMasterDevices);
  XIAnyHierarchyChangeInfo change{};
  change.remove.type = XIRemoveMaster;
  change.remove.deviceid = pointer;
  // Slaves someone attached to the pair go back to the core devices; the XTEST slaves go with it.
  change.remove.return_pointer = idOf(masters, XIMasterPointer, "Virtual core pointer");
  change.remove.return_keyboard = idOf(masters, XIMasterKeyboard, "Virtual core keyboard");
  change.remove.return_mode =
      change.remove.return_pointer && change.remove.return_keyboard ? XIAttachToMaster : XIFloating;
  XIChangeHierarchy(display, &change, 1);
}

bool processRuns(pid_t pid) {
  return kill(pid, 0) == 0 || errno == EPERM;
}

// Waits for the helper to end, then removes its pair. Runs in the detached watcher process.
[[noreturn]] void watch(int inherited, pid_t helper) {
  setsid();
  // Above the standard streams, which are replaced next.
  const int lifeline = fcntl(inherited, F_DUPFD, 3);
  if (lifeline < 0) _exit(1);
  // Hold nothing of the helper's: above all not its standard streams, which its owner reads to
  // learn that it ended.
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
  }
  if (lifeline > 3) close_range(3, static_cast<unsigned>(lifeline) - 1, 0);
  close_range(static_cast<unsigned>(lifeline) + 1, ~0U, 0);
  // The write end closes when the helper ends, however it ends.
  char byte;
  while (read(lifeline, &byte, 1) < 0 && errno == EINTR) {
  }
  if (Display* display = XOpenDisplay(nullptr)) {
    int opcode = 0, event = 0, error = 0;
    if (XQueryExtension(display, "XInputExtension", &opcode, &event, &error)) {
      removePair(display, pairName(helper));
    }
    XCloseDisplay(display);
  }
  _exit(0);
}

}  // namespace

std::string pairName(pid_t pid) {
  return std::string(PAIR_PREFIX) + std::to_string(pid);
}

std::optional<pid_t> pairOwner(const std::string& masterPointerName) {
  std::string_view name = masterPointerName;
  if (!name.starts_with(PAIR_PREFIX) || !name.ends_with(POINTER_SUFFIX)) return std::nullopt;
  name.remove_prefix(PAIR_PREFIX.size());
  name.remove_suffix(POINTER_SUFFIX.size());
  if (name.empty() || name.size() > 9 || name.front() == '0') return std::nullopt;
  pid_t pid = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return std::nullopt;
    pid = pid * 10 + (c - '0');
  }
  return pid;
}

std::optional<DevicePair> addPair(Display* display, const std::string& name) {
  removePair(display, name);
  std::string writable = name;
  XIAnyHierarchyChangeInfo change{};
  change.add.type = XIAddMaster;
  change.add.name = writable.data();
  change.add.send_core = True;
  change.add.enable = True;
  if (XIChangeHierarchy(display, &change, 1) != Success) return std::nullopt;
  XSync(display, False);
  const auto all = devices(display, XIAllDevices);
  DevicePair pair;
  pair.pointer = idOf(all, XIMasterPointer, name + " pointer");
  pair.keyboard = idOf(all, XIMasterKeyboard, name + " keyboard");
  pair.xtestPointer = idOf(all, XISlavePointer, name + " XTEST pointer");
  pair.xtestKeyboard = idOf(all, XISlaveKeyboard, name + " XTEST keyboard");
  if (!pair.pointer || !pair.keyboard || !pair.xtestPointer || !pair.xtestKeyboard) {
    removePair(display, name);
    return std::nullopt;
  }
  return pair;
}

void removePair(Display* display, const std::string& name) {
  const std::string pointerName = name + std::string(POINTER_SUFFIX);
  for (const auto& device : devices(display, XIAllMasterDevices)) {
    if (device.use == XIMasterPointer && device.name == pointerName) {
      removeMaster(display, device.id);
    }
  }
  XSync(display, False);
}

int removeStalePairs(Display* display) {
  int removed = 0;
  for (const auto& device : devices(display, XIAllMasterDevices)) {
    if (device.use != XIMasterPointer) continue;
    auto owner = pairOwner(device.name);
    if (!owner || *owner == getpid() || processRuns(*owner)) continue;
    removeMaster(display, device.id);
    ++removed;
  }
  XSync(display, False);
  return removed;
}

void watchPairAfterExit() {
  int lifeline[2];
  if (pipe2(lifeline, O_CLOEXEC) != 0) return;
  const pid_t helper = getpid();
  const pid_t child = fork();
  if (child == 0) {
    // The watcher is a grandchild, so that no process waits for it and none is left a zombie.
    if (fork() != 0) _exit(0);
    watch(lifeline[0], helper);
  }
  close(lifeline[0]);
  if (child < 0) {
    close(lifeline[1]);
    return;
  }
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  // The write end stays open, unused, for the rest of the helper's life (close-on-exec keeps it
  // out of the programs the helper starts).
}

int coreKeyboard(Display* display) {
  return idOf(devices(display, XIAllMasterDevices), XIMasterKeyboard, "Virtual core keyboard");
}

}  // namespace qcu::x11
