// The window list: rows front to back from the window manager's stacking list when a live
// EWMH manager keeps one, else from the root's children.
#include "desktop/x11/window_list.h"

#include <X11/Xatom.h>
#include <X11/extensions/XRes.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <unordered_map>

#include "desktop/procfs.h"
#include "desktop/x11/display.h"
#include "desktop/x11/properties.h"

namespace qcu::x11 {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Deepest frame nesting looked through between a client and the root.
constexpr int MAX_FRAME_DEPTH = 8;

// A manager's stacking list is trusted only while the manager lives: its check window exists
// and names itself.
bool managerAlive(Display* display, Window root) {
  const Atoms& a = atoms();
  auto check = readItems(display, root, a.netSupportingWmCheck, XA_WINDOW);
  if (check.empty() || check.front() == None) return false;
  auto self = readItems(display, check.front(), a.netSupportingWmCheck, XA_WINDOW);
  return !self.empty() && self.front() == check.front();
}

std::vector<Window> children(Display* display, Window window, Window* parent) {
  Window root = None, up = None;
  Window* list = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display, window, &root, &up, &list, &count)) return {};
  std::vector<Window> result(list, list + count);
  if (list) XFree(list);
  if (parent) *parent = up;
  return result;
}

}  // namespace

Window frameOf(Display* display, Window root, Window client) {
  Window window = client;
  for (int depth = 0; depth < MAX_FRAME_DEPTH; ++depth) {
    Window parent = None, treeRoot = None;
    Window* list = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, window, &treeRoot, &parent, &list, &count)) return None;
    if (list) XFree(list);
    if (parent == root || parent == None) return window;
    window = parent;
  }
  return None;
}

namespace {

bool contains(const std::vector<unsigned long>& items, Atom atom) {
  return atom != None && std::find(items.begin(), items.end(), atom) != items.end();
}

// The layer of a client from its type and state; see the layer constants.
int layerOf(Display* display, Window client, bool viewable, bool overrideRedirect) {
  const Atoms& a = atoms();
  auto state = readItems(display, client, a.netWmState, XA_ATOM);
  if (!viewable || contains(state, a.netWmStateHidden)) return LAYER_HIDDEN;
  if (overrideRedirect) return LAYER_POPUP;
  // The type list is in order of preference: the first type known here decides; a window
  // without one is a normal window.
  for (unsigned long type : readItems(display, client, a.netWmWindowType, XA_ATOM)) {
    if (type == a.typeNormal || type == a.typeDialog) break;
    if (type == a.typeDesktop) return LAYER_DESKTOP;
    if (type == a.typeDock) return LAYER_DOCK;
    if (type == a.typeUtility || type == a.typeToolbar || type == a.typeSplash ||
        type == a.typeMenu) {
      return LAYER_ABOVE;
    }
    if (type == a.typeDropdownMenu || type == a.typePopupMenu || type == a.typeTooltip ||
        type == a.typeNotification || type == a.typeCombo || type == a.typeDnd) {
      return LAYER_POPUP;
    }
  }
  if (contains(state, a.netWmStateAbove)) return LAYER_ABOVE;
  if (contains(state, a.netWmStateBelow)) return LAYER_BELOW;
  return LAYER_NORMAL;
}

double alphaOf(Display* display, Window client, Window frame) {
  auto opacity = readCardinal(display, client, atoms().netWmWindowOpacity);
  // Some tools set the opacity on the frame, where compositors read it.
  if (!opacity && frame != client)
    opacity = readCardinal(display, frame, atoms().netWmWindowOpacity);
  if (!opacity) return 1.0;
  return static_cast<double>(*opacity) / 4294967295.0;
}

// The process behind each client connection, by the connection's resource base, as the server
// knows it from the connection itself. A client cannot claim another process this way, and a
// remote client has none.
struct ClientPids {
  XID mask = 0;
  std::unordered_map<XID, std::int32_t> byBase;
  std::int32_t of(Window window) const {
    auto it = byBase.find(window & ~mask);
    return it == byBase.end() ? 0 : it->second;
  }
};

std::optional<ClientPids> clientPids(Display* display) {
  int clientCount = 0;
  XResClient* clients = nullptr;
  if (!XResQueryClients(display, &clientCount, &clients)) return std::nullopt;
  ClientPids pids;
  if (clientCount > 0) pids.mask = clients[0].resource_mask;
  if (clients) XFree(clients);
  XResClientIdSpec everyone{None, XRES_CLIENT_ID_PID_MASK};
  long idCount = 0;
  XResClientIdValue* ids = nullptr;
  if (XResQueryClientIds(display, 1, &everyone, &idCount, &ids) != Success) return std::nullopt;
  for (long i = 0; i < idCount; ++i) {
    if (XResGetClientIdType(&ids[i]) != XRES_CLIENT_ID_PID) continue;
    pid_t pid = XResGetClientPid(&ids[i]);
    if (pid > 0) pids.byBase[ids[i].spec.client & ~pids.mask] = static_cast<std::int32_t>(pid);
  }
  XResClientIdsDestroy(idCount, ids);
  return pids;
}

// The owning process: the server's word where it has one; the window's own claim
// (_NET_WM_PID) only on a server that cannot tell.
std::int32_t pidOf(Display* display, Window client, const std::optional<ClientPids>& pids) {
  if (pids) return pids->of(client);
  auto claimed = readCardinal(display, client, atoms().netWmPid);
  if (!claimed || *claimed == 0 || *claimed > 0x7FFFFFFFul) return 0;
  return static_cast<std::int32_t>(*claimed);
}

// Everything about one client in its frame; none when either is gone.
std::optional<WindowFacts> describe(Display* display, Window client, Window frame,
                                    const std::optional<ClientPids>& pids) {
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(display, frame, &attributes)) return std::nullopt;
  WindowFacts facts;
  facts.client = client;
  facts.frame = frame;
  // The frame is a child of the root, so its position is already in root coordinates.
  double border = attributes.border_width;
  facts.bounds = Rect{static_cast<double>(attributes.x), static_cast<double>(attributes.y),
                      attributes.width + 2 * border, attributes.height + 2 * border};
  bool viewable = attributes.map_state == IsViewable;
  facts.layer = layerOf(display, client, viewable, attributes.override_redirect);
  facts.alpha = alphaOf(display, client, frame);
  facts.pid = pidOf(display, client, pids);
  facts.title = windowTitle(display, client);
  facts.className = windowClass(display, client);
  facts.applicationId = readText(display, client, atoms().gtkApplicationId).value_or("");
  return facts;
}

// The clients of a live manager, front to back.
std::vector<WindowFacts> managedWindows(Display* display, Window root,
                                        const std::vector<unsigned long>& stacking,
                                        const std::optional<ClientPids>& pids) {
  std::vector<WindowFacts> rows;
  for (auto it = stacking.rbegin(); it != stacking.rend(); ++it) {
    Window client = *it;
    Window frame = frameOf(display, root, client);
    if (frame == None) continue;
    if (auto facts = describe(display, client, frame, pids)) rows.push_back(std::move(*facts));
  }
  return rows;
}

// The window in a top-level that carries WM_STATE (the one a manager framed), looked for a few
// levels down; the top-level itself when none does, as without a manager.
Window clientIn(Display* display, Window topLevel) {
  std::vector<Window> level{topLevel};
  for (int depth = 0; depth < 3 && !level.empty(); ++depth) {
    std::vector<Window> next;
    for (Window window : level) {
      if (!readItems(display, window, atoms().wmState, atoms().wmState).empty()) return window;
      auto below = children(display, window, nullptr);
      next.insert(next.end(), below.begin(), below.end());
    }
    level.swap(next);
  }
  return topLevel;
}

// The viewable top-levels, front to back, each with its client.
std::vector<WindowFacts> topLevelWindows(Display* display, Window root,
                                         const std::optional<ClientPids>& pids) {
  std::vector<WindowFacts> rows;
  auto stack = children(display, root, nullptr);
  for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, *it, &attributes)) continue;
    if (attributes.map_state != IsViewable || attributes.c_class != InputOutput) continue;
    if (auto facts = describe(display, clientIn(display, *it), *it, pids)) {
      rows.push_back(std::move(*facts));
    }
  }
  return rows;
}

// The application facts of the latest list, by process; see recentProcessWindows.
struct ProcessCache {
  std::mutex lock;  // guards everything below
  SteadyClock::time_point taken;
  struct Entry {
    std::optional<ProcessStart> start;
    ProcessWindows windows;
  };
  std::unordered_map<std::int32_t, Entry> byPid;
};
ProcessCache& processCache() {
  static auto* cache = new ProcessCache;
  return *cache;
}

bool sameStart(const std::optional<ProcessStart>& a, const std::optional<ProcessStart>& b) {
  return a && b && a->seconds == b->seconds && a->microseconds == b->microseconds;
}

void remember(const std::vector<WindowFacts>& rows) {
  std::unordered_map<std::int32_t, ProcessCache::Entry> byPid;
  for (const auto& row : rows) {
    if (row.pid <= 0) continue;
    auto [entry, fresh] = byPid.try_emplace(row.pid);
    if (fresh) entry->second.start = procfsProcessStart(row.pid);
    auto& windows = entry->second.windows;
    if (windows.className.empty()) windows.className = row.className;
    if (windows.applicationId.empty()) windows.applicationId = row.applicationId;
  }
  ProcessCache& cache = processCache();
  std::lock_guard<std::mutex> guard(cache.lock);
  cache.taken = SteadyClock::now();
  cache.byPid.swap(byPid);
}

}  // namespace

std::optional<std::vector<WindowFacts>> listWindows() {
  std::vector<WindowFacts> rows;
  {
    RequestScope scope;
    if (!scope) return std::nullopt;
    Display* display = scope.display;
    std::optional<ClientPids> pids;
    if (serverKnowsClientPids()) {
      pids = clientPids(display);
      if (!pids) return std::nullopt;
    }
    std::vector<unsigned long> stacking;
    if (managerAlive(display, scope.root)) {
      stacking = readItems(display, scope.root, atoms().netClientListStacking, XA_WINDOW);
    }
    // A manager without a stacking list leaves the root's children as the only order.
    rows = stacking.empty() ? topLevelWindows(display, scope.root, pids)
                            : managedWindows(display, scope.root, stacking, pids);
    if (scope.lost()) return std::nullopt;
  }
  remember(rows);
  return rows;
}

std::optional<ProcessWindows> recentProcessWindows(std::int32_t pid, double maxAgeSeconds) {
  ProcessCache& cache = processCache();
  std::optional<ProcessCache::Entry> entry;
  {
    std::lock_guard<std::mutex> guard(cache.lock);
    if (SteadyClock::now() - cache.taken > std::chrono::duration<double>(maxAgeSeconds)) {
      return std::nullopt;
    }
    auto it = cache.byPid.find(pid);
    if (it == cache.byPid.end()) return std::nullopt;
    entry = it->second;
  }
  if (!sameStart(entry->start, procfsProcessStart(pid))) return std::nullopt;
  return entry->windows;
}

}  // namespace qcu::x11

namespace qcu {

std::optional<nlohmann::json> platformWindowList() {
  auto rows = x11::listWindows();
  if (!rows) return std::nullopt;
  nlohmann::json list = nlohmann::json::array();
  for (const auto& row : *rows) {
    nlohmann::json entry = {{"kCGWindowNumber", static_cast<std::uint64_t>(row.client)},
                            {"kCGWindowBounds",
                             {{"X", row.bounds.x},
                              {"Y", row.bounds.y},
                              {"Width", row.bounds.width},
                              {"Height", row.bounds.height}}},
                            {"kCGWindowOwnerName", row.className},
                            {"kCGWindowName", row.title},
                            {"kCGWindowLayer", row.layer},
                            {"kCGWindowAlpha", row.alpha}};
    // A row without a known process is kept without one; the reader leaves it out.
    if (row.pid > 0) entry["kCGWindowOwnerPID"] = row.pid;
    list.push_back(std::move(entry));
  }
  return list;
}

}  // namespace qcu
