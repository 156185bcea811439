#include "desktop/x11/display.h"

#include <X11/extensions/XRes.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace qcu::x11 {

// One connection and what its error handlers record. The error fields are written by Xlib's
// handler on the thread that uses the connection and read by that same thread.
struct Connection {
  Display* display = nullptr;
  std::atomic<bool> lost{false};
  unsigned long lastErrorSerial = 0;
  bool anyError = false;
};

namespace {

// The connection whose calls the current thread is making; the error handler records there.
thread_local Connection* currentConnection = nullptr;

// Set once any connection of the current display is lost; cleared when a display is opened.
std::atomic<bool> lostFlag{false};

struct EventThread {
  std::thread thread;
  int wakeRead = -1;
  int wakeWrite = -1;
  std::atomic<bool> stop{false};
  // Sources waiting for their set-up on the event thread, each with the promise of its answer.
  std::mutex pendingLock;  // guards pending
  std::vector<std::pair<EventSource, std::shared_ptr<std::promise<bool>>>> pending;
};

// The open display. Written only by displayOpen and displayClose, while no other thread uses the
// backend; read by everyone afterwards.
struct DisplayState {
  Connection* request = nullptr;
  Connection* events = nullptr;
  std::string name;
  Atoms atoms;
  bool clientPids = false;
  EventThread* eventThread = nullptr;
};
DisplayState& current() {
  static auto* state = new DisplayState;
  return *state;
}

std::mutex& requestMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

// Lost connections are kept here, never closed or freed: Xlib may still hold their lock.
std::vector<Connection*>& lostConnections() {
  static auto* list = new std::vector<Connection*>;
  return *list;
}

int recordError(Display*, XErrorEvent* event) {
  if (Connection* connection = currentConnection) {
    connection->anyError = true;
    if (event->serial > connection->lastErrorSerial) connection->lastErrorSerial = event->serial;
  }
  return 0;
}

// Xlib calls this first on a lost connection; its default prints and exits. Returning lets Xlib
// go on to the connection's exit handler below.
int ignoreIoError(Display*) {
  return 0;
}

// The connection's exit handler: the default exits. Returning makes the failing Xlib call return
// an error to its caller; the connection is never used again.
void markLost(Display*, void* data) {
  static_cast<Connection*>(data)->lost.store(true);
  lostFlag.store(true);
}

void installHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    XSetErrorHandler(recordError);
    XSetIOErrorHandler(ignoreIoError);
  });
}

Connection* connect(const char* name) {
  installHandlers();
  Display* display = XOpenDisplay(name);
  if (!display) return nullptr;
  auto* connection = new Connection;
  connection->display = display;
  XSetIOErrorExitHandler(display, markLost, connection);
  return connection;
}

void disconnect(Connection* connection) {
  if (!connection) return;
  if (connection->lost.load()) {
    lostConnections().push_back(connection);
    return;
  }
  XCloseDisplay(connection->display);
  delete connection;
}

unsigned long markOf(Connection* connection) {
  return NextRequest(connection->display);
}

bool cleanSince(Connection* connection, unsigned long mark) {
  if (connection->lost.load()) return false;
  XSync(connection->display, False);
  if (connection->lost.load()) return false;
  return !(connection->anyError && connection->lastErrorSerial >= mark);
}

void internAtoms(Display* display, Atoms& atoms) {
  struct Entry {
    const char* name;
    Atom* slot;
  };
  const Entry entries[] = {
      {"CARDINAL", &atoms.cardinal},
      {"WINDOW", &atoms.window},
      {"ATOM", &atoms.atom},
      {"UTF8_STRING", &atoms.utf8String},
      {"STRING", &atoms.string},
      {"COMPOUND_TEXT", &atoms.compoundText},
      {"WM_NAME", &atoms.wmName},
      {"WM_CLASS", &atoms.wmClass},
      {"WM_STATE", &atoms.wmState},
      {"_NET_SUPPORTING_WM_CHECK", &atoms.netSupportingWmCheck},
      {"_NET_CLIENT_LIST_STACKING", &atoms.netClientListStacking},
      {"_NET_ACTIVE_WINDOW", &atoms.netActiveWindow},
      {"_NET_WM_PID", &atoms.netWmPid},
      {"_NET_WM_NAME", &atoms.netWmName},
      {"_NET_WM_WINDOW_OPACITY", &atoms.netWmWindowOpacity},
      {"_NET_WM_WINDOW_TYPE", &atoms.netWmWindowType},
      {"_NET_WM_STATE", &atoms.netWmState},
      {"_NET_WM_STATE_HIDDEN", &atoms.netWmStateHidden},
      {"_NET_WM_STATE_ABOVE", &atoms.netWmStateAbove},
      {"_NET_WM_STATE_BELOW", &atoms.netWmStateBelow},
      {"_NET_WM_WINDOW_TYPE_NORMAL", &atoms.typeNormal},
      {"_NET_WM_WINDOW_TYPE_DIALOG", &atoms.typeDialog},
      {"_NET_WM_WINDOW_TYPE_UTILITY", &atoms.typeUtility},
      {"_NET_WM_WINDOW_TYPE_TOOLBAR", &atoms.typeToolbar},
      {"_NET_WM_WINDOW_TYPE_SPLASH", &atoms.typeSplash},
      {"_NET_WM_WINDOW_TYPE_DESKTOP", &atoms.typeDesktop},
      {"_NET_WM_WINDOW_TYPE_DOCK", &atoms.typeDock},
      {"_NET_WM_WINDOW_TYPE_MENU", &atoms.typeMenu},
      {"_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", &atoms.typeDropdownMenu},
      {"_NET_WM_WINDOW_TYPE_POPUP_MENU", &atoms.typePopupMenu},
      {"_NET_WM_WINDOW_TYPE_TOOLTIP", &atoms.typeTooltip},
      {"_NET_WM_WINDOW_TYPE_NOTIFICATION", &atoms.typeNotification},
      {"_NET_WM_WINDOW_TYPE_COMBO", &atoms.typeCombo},
      {"_NET_WM_WINDOW_TYPE_DND", &atoms.typeDnd},
      {"_GTK_APPLICATION_ID", &atoms.gtkApplicationId},
  };
  constexpr int count = sizeof(entries) / sizeof(entries[0]);
  char* names[count];
  Atom values[count];
  for (int i = 0; i < count; ++i)
    names[i] = const_cast<char*>(entries[i].name);
  if (!XInternAtoms(display, names, count, False, values)) return;
  for (int i = 0; i < count; ++i)
    *entries[i].slot = values[i];
}

// Runs the set-up of newly added sources on the event connection and answers their callers.
void setUpPending(EventThread& events, Connection* connection, std::vector<EventSource>& sources) {
  std::vector<std::pair<EventSource, std::shared_ptr<std::promise<bool>>>> pending;
  {
    std::lock_guard<std::mutex> guard(events.pendingLock);
    pending.swap(events.pending);
  }
  Window root = DefaultRootWindow(connection->display);
  for (auto& [source, answer] : pending) {
    unsigned long mark = markOf(connection);
    bool ok = source.setup && source.setup(connection->display, root);
    ok = cleanSince(connection, mark) && ok;
    if (ok) sources.push_back(std::move(source));
    answer->set_value(ok);
  }
}

void failPending(EventThread& events) {
  std::lock_guard<std::mutex> guard(events.pendingLock);
  for (auto& entry : events.pending)
    entry.second->set_value(false);
  events.pending.clear();
}

void eventLoop(EventThread* events, Connection* connection) {
  currentConnection = connection;
  Display* display = connection->display;
  std::vector<EventSource> sources;
  while (!events->stop.load() && !connection->lost.load()) {
    setUpPending(*events, connection, sources);
    // Events may already wait in Xlib's queue, read during a set-up: take those first.
    while (!connection->lost.load() && XEventsQueued(display, QueuedAfterReading) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      bool data = event.type == GenericEvent && XGetEventData(display, &event.xcookie);
      for (auto& source : sources) {
        if (source.handle) source.handle(display, event);
      }
      if (data) XFreeEventData(display, &event.xcookie);
    }
    if (connection->lost.load()) break;
    pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {events->wakeRead, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents & POLLIN) {
      char buffer[64];
      [[maybe_unused]] auto ignored = read(events->wakeRead, buffer, sizeof(buffer));
    }
  }
  currentConnection = nullptr;
  failPending(*events);
}

void wake(EventThread& events) {
  char byte = 1;
  [[maybe_unused]] auto ignored = write(events.wakeWrite, &byte, 1);
}

EventThread* startEvents(Connection* connection) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
  auto* events = new EventThread;
  events->wakeRead = fds[0];
  events->wakeWrite = fds[1];
  events->thread = std::thread(eventLoop, events, connection);
  return events;
}

void stopEvents(EventThread* events) {
  if (!events) return;
  events->stop.store(true);
  wake(*events);
  events->thread.join();
  close(events->wakeRead);
  close(events->wakeWrite);
  delete events;
}

}  // namespace

bool displayOpen(const char* name) {
  displayClose();
  DisplayState& state = current();
  Connection* request = connect(name);
  if (!request) return false;
  Connection* events = connect(name);
  if (!events) {
    disconnect(request);
    return false;
  }
  lostFlag.store(false);
  state.request = request;
  state.events = events;
  state.name = DisplayString(request->display);
  state.atoms = Atoms{};
  internAtoms(request->display, state.atoms);
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  state.clientPids = XResQueryExtension(request->display, &eventBase, &errorBase) &&
                     XResQueryVersion(request->display, &major, &minor) &&
                     (major > 1 || (major == 1 && minor >= 2));
  state.eventThread = startEvents(events);
  return true;
}

void displayClose() {
  DisplayState& state = current();
  stopEvents(state.eventThread);
  state.eventThread = nullptr;
  disconnect(state.events);
  disconnect(state.request);
  state.events = nullptr;
  state.request = nullptr;
}

bool displayUsable() {
  return current().request != nullptr && !lostFlag.load();
}

bool serverKnowsClientPids() {
  return current().clientPids;
}

bool displayLost() {
  return lostFlag.load();
}

const Atoms& atoms() {
  return current().atoms;
}

RequestScope::RequestScope() : lock_(requestMutex()) {
  DisplayState& state = current();
  if (!state.request || lostFlag.load()) return;
  connection_ = state.request;
  previous_ = currentConnection;
  currentConnection = connection_;
  display = connection_->display;
  root = DefaultRootWindow(display);
}

RequestScope::~RequestScope() {
  if (connection_) currentConnection = previous_;
}

unsigned long RequestScope::mark() const {
  return connection_ ? markOf(connection_) : 0;
}

bool RequestScope::clean(unsigned long mark) const {
  return connection_ && cleanSince(connection_, mark);
}

bool RequestScope::lost() const {
  return !connection_ || connection_->lost.load();
}

bool addEventSource(EventSource source, double timeoutSeconds) {
  DisplayState& state = current();
  if (!state.eventThread || !displayUsable()) return false;
  auto answer = std::make_shared<std::promise<bool>>();
  auto result = answer->get_future();
  {
    std::lock_guard<std::mutex> guard(state.eventThread->pendingLock);
    state.eventThread->pending.emplace_back(std::move(source), answer);
  }
  wake(*state.eventThread);
  auto wait = std::chrono::duration<double>(timeoutSeconds);
  if (result.wait_for(wait) != std::future_status::ready) return false;
  return result.get();
}

OwnConnection openConnection() {
  OwnConnection own;
  if (!displayUsable()) return own;
  Connection* connection = connect(current().name.c_str());
  if (!connection) return own;
  own.connection = connection;
  own.display = connection->display;
  currentConnection = connection;
  return own;
}

void closeConnection(OwnConnection& own) {
  if (currentConnection == own.connection) currentConnection = nullptr;
  if (own.connection && own.connection->lost.load()) lostFlag.store(true);
  disconnect(own.connection);
  own = OwnConnection{};
}

ConnectionUse::ConnectionUse(const OwnConnection& own) : previous_(currentConnection) {
  if (own.connection) currentConnection = own.connection;
}

ConnectionUse::~ConnectionUse() {
  currentConnection = previous_;
}

unsigned long OwnConnection::mark() const {
  return connection ? markOf(connection) : 0;
}

bool OwnConnection::clean(unsigned long mark) const {
  return connection && cleanSince(connection, mark);
}

bool OwnConnection::lost() const {
  return !connection || connection->lost.load();
}

}  // namespace qcu::x11

// ThreadSanitizer builds leave out what the libraries below the backend do to themselves:
// - GLib hands memory between its threads through its own futex-based locks, which the sanitizer
//   does not see, so every such hand-over would read as a race;
// - on a lost connection, Xlib's failing call unlocks the display's mutex once more after its
//   error path already did (the display is never used again).
// Races and lock misuse in this project's own code are still reported.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "race:libglib-2.0.so\n"
         "race:libgio-2.0.so\n"
         "race:libgobject-2.0.so\n"
         "mutex:libX\n";
}
#endif
