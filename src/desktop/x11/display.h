// The X11 connection layer of the Linux backend.
//
// Which thread may touch what. The helper calls the seam from the reader thread, the observation
// and commit workers and the owner monitor; Xlib is never used by two threads on one connection:
// - The request connection serves short query and command sequences from any thread, one
//   sequence at a time: a RequestScope holds the request mutex for its whole life and is the only
//   way to reach that connection. Never hold two scopes at once, and never hold one across a
//   wait, a sleep or a call into another subsystem.
// - The event thread alone owns the event connection. Event sources (addEventSource) run their
//   set-up and their handlers there, and publish what they count in atomics that any thread reads
//   without a lock.
// - Slow work (a capture) opens a connection of its own (openConnection) and uses and closes it on
//   one thread. A connection kept for longer behind a lock of its own (synthetic input) is used
//   from any thread through a ConnectionUse, one thread at a time.
// - Atoms are interned once when the display opens and are read-only afterwards.
// X errors never end the process: a protocol error is recorded for the connection whose calls
// caused it (see RequestScope::clean), and a lost connection marks the whole display lost. Xlib
// keeps its own lock held by the thread that met the loss, so a lost connection is never touched
// again by anyone: everything answers as if there were no display (no window list, locked, no
// input) and the process goes on.
#pragma once

#include <X11/Xlib.h>

#include <functional>
#include <mutex>
#include <string>

namespace qcu::x11 {

// The atoms the backend uses, interned once.
struct Atoms {
  Atom cardinal = None;
  Atom window = None;
  Atom atom = None;
  Atom utf8String = None;
  Atom string = None;
  Atom compoundText = None;
  Atom wmName = None;
  Atom wmClass = None;
  Atom wmState = None;
  Atom netSupportingWmCheck = None;
  Atom netClientListStacking = None;
  Atom netActiveWindow = None;
  Atom netWmPid = None;
  Atom netWmName = None;
  Atom netWmWindowOpacity = None;
  Atom netWmWindowType = None;
  Atom netWmState = None;
  Atom netWmStateHidden = None;
  Atom netWmStateAbove = None;
  Atom netWmStateBelow = None;
  Atom typeNormal = None;
  Atom typeDialog = None;
  Atom typeUtility = None;
  Atom typeToolbar = None;
  Atom typeSplash = None;
  Atom typeDesktop = None;
  Atom typeDock = None;
  Atom typeMenu = None;
  Atom typeDropdownMenu = None;
  Atom typePopupMenu = None;
  Atom typeTooltip = None;
  Atom typeNotification = None;
  Atom typeCombo = None;
  Atom typeDnd = None;
  Atom gtkApplicationId = None;
};

// Opens the request and event connections to the named display (nullptr: the DISPLAY variable),
// interns the atoms and starts the event thread. False when the display cannot be opened. Run
// only while no other thread uses the backend (start-up, tests); it closes what was open before.
bool displayOpen(const char* name);
// Stops the event thread and closes the connections (a lost one is left alone). Same rule.
void displayClose();
// True while a display is open and none of its connections was lost.
bool displayUsable();
// True once any connection to the current display was lost.
bool displayLost();
const Atoms& atoms();
// Whether the server tells which process owns a client connection (X-Resource 1.2).
bool serverKnowsClientPids();

struct Connection;

// Exclusive use of the request connection for one short sequence of calls. Empty when there is
// no usable display. Protocol errors of the calls made through it are recorded: take a mark()
// before calls whose success matters and ask clean(mark) afterwards.
struct RequestScope {
  RequestScope();
  ~RequestScope();
  RequestScope(const RequestScope&) = delete;
  RequestScope& operator=(const RequestScope&) = delete;

  explicit operator bool() const { return display != nullptr; }
  // The serial of the next request.
  unsigned long mark() const;
  // Waits for every request so far to be processed; true when none since mark failed and the
  // connection still stands.
  bool clean(unsigned long mark) const;
  // True when the connection was lost during this scope.
  bool lost() const;

  Display* display = nullptr;
  Window root = None;

 private:
  std::unique_lock<std::mutex> lock_;
  Connection* connection_ = nullptr;
  Connection* previous_ = nullptr;
};

// A source of events on the event thread: setup selects what it wants on the event connection
// (false when it cannot), handle sees every event after that, with the data of generic events
// already fetched. Both run on the event thread only.
struct EventSource {
  std::string name;
  std::function<bool(Display*, Window root)> setup;
  std::function<void(Display*, XEvent&)> handle;
};
// Adds a source to the event thread and waits for its set-up. False when there is no usable
// display, the set-up failed or raised an X error, or it did not finish within timeoutSeconds.
bool addEventSource(EventSource source, double timeoutSeconds = 2.0);

// A connection of its own for slow work, with the same error handling; None when the display is
// not usable. Use it on one thread and close it there with closeConnection.
struct OwnConnection {
  Display* display = nullptr;
  Connection* connection = nullptr;
  explicit operator bool() const { return display != nullptr; }
  // As RequestScope's; errors are recorded for the thread that opened the connection.
  unsigned long mark() const;
  bool clean(unsigned long mark) const;
  bool lost() const;
};
OwnConnection openConnection();
void closeConnection(OwnConnection& own);

// Makes the calling thread record X errors for an own connection while it lives, so that a
// connection kept behind a lock of its own may serve any thread, one at a time.
struct ConnectionUse {
  explicit ConnectionUse(const OwnConnection& own);
  ~ConnectionUse();
  ConnectionUse(const ConnectionUse&) = delete;
  ConnectionUse& operator=(const ConnectionUse&) = delete;

 private:
  Connection* previous_ = nullptr;
};

}  // namespace qcu::x11
