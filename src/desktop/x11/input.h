// The X11 input pieces behind the seam: the helper's private pair of master devices, the counter
// of physical input and the clipboard change count.
//
// Synthetic input never goes through the core devices that every XTest client shares. The helper
// makes a master pointer and keyboard of its own, named "quorvel-cu-<pid>", whose XTEST slave
// devices carry all of its input: its input connection names that pointer as its client pointer,
// so core XTest requests on it go to those slaves. The counter of physical input leaves exactly
// those two slaves out, so it moves for any person or other program and never for the helper.
// The pair outlives the process unless it is removed: a watcher process removes it when the
// helper ends in any way, and start-up removes the pairs of helpers that no longer run.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <optional>
#include <string>

namespace qcu::x11 {

struct DevicePair {
  int pointer = 0;       // the master pointer
  int keyboard = 0;      // the master keyboard paired with it
  int xtestPointer = 0;  // the XTEST slaves that carry the synthetic input
  int xtestKeyboard = 0;
};

// The name of the pair of the helper with this process id.
std::string pairName(pid_t pid);
// The process id in a pair's name; none for a name of any other form.
std::optional<pid_t> pairOwner(const std::string& masterPointerName);
// Adds a master pair under this name, after removing any left under the same name, and finds its
// four devices. None when the server refused or the devices cannot be found. The caller checks
// for X errors on the connection.
std::optional<DevicePair> addPair(Display* display, const std::string& name);
// Removes every master pair under this name.
void removePair(Display* display, const std::string& name);
// Removes the pairs whose named process no longer runs; never this process's own, nor one of a
// process that runs. Returns how many were removed.
int removeStalePairs(Display* display);
// Starts a detached process that removes this process's pair once this process has ended, in
// whatever way it ends (the helper ends with _exit, or is killed). Call while the process has a
// single thread: it forks.
void watchPairAfterExit();

// The device id of the core keyboard; 0 when it cannot be found.
int coreKeyboard(Display* display);

// Starts counting physical input on the event thread; false when the server has no XInput 2.
bool startInputCounter();
// The slaves whose input is the helper's own and never counted (0: none). The counter forgets
// them by itself when the server reports them removed.
void setOwnDevices(int xtestPointer, int xtestKeyboard);
// Counts a removed device's id again if it was one of the helper's: the server may give the id
// to a new device.
void forgetOwnDevice(int removed);

// Starts counting changes of the CLIPBOARD selection's owner on the event thread; false when
// the server has no XFixes.
bool startClipboardWatch();

}  // namespace qcu::x11
