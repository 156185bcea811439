// The window list: rows front to back from the window manager's stacking list when a live
// EWMH manager keeps one, else from the root's children.
#include "desktop/x11/window_list.h"

#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <X11/extensions/XRes.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "desktop/procfs.h"
#include "desktop/x11/display.h"
#include "desktop/x11/properties.h"
#include "desktop/x11/xcb_reply.h"

namespace qcu::x11 {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Deepest frame nesting looked through between a client and the root.
constexpr int MAX_FRAME_DEPTH = 8;
// Longest property read, in 32-bit units: far above any real title or list.
constexpr std::uint32_t MAX_PROPERTY_UNITS = 1 << 16;

std::vector<Window> children(Display* display, Window window) {
  Window root = None, up = None;
  Window* list = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display, window, &root, &up, &list, &count)) return {};
  std::vector<Window> result(list, list + count);
  if (list) XFree(list);
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

// Reads over the connection's XCB side, pipelined: every request of a round goes out before the
// first reply is awaited, so a list costs a few round trips whatever the number of windows.
struct PropertyValue {
  xcb_atom_t type = XCB_NONE;
  std::uint8_t format = 0;
  std::string bytes;
};

xcb_get_property_cookie_t ask(xcb_connection_t* c, Window window, Atom property) {
  return xcb_get_property(c, 0, static_cast<xcb_window_t>(window),
                          static_cast<xcb_atom_t>(property), XCB_GET_PROPERTY_TYPE_ANY, 0,
                          MAX_PROPERTY_UNITS);
}

PropertyValue take(xcb_connection_t* c, xcb_get_property_cookie_t cookie) {
  xcb_generic_error_t* error = nullptr;
  auto reply = takeReply(xcb_get_property_reply(c, cookie, &error), &error);
  PropertyValue value;
  if (!reply || reply->type == XCB_NONE) return value;
  value.type = reply->type;
  value.format = reply->format;
  auto* data = static_cast<const char*>(xcb_get_property_value(reply.get()));
  value.bytes.assign(data, static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
  return value;
}

// The 32-bit items of a value of the given type.
std::vector<unsigned long> itemsOf(const PropertyValue& value, Atom type) {
  std::vector<unsigned long> items;
  if (value.type != type || value.format != 32) return items;
  for (std::size_t at = 0; at + 4 <= value.bytes.size(); at += 4) {
    std::uint32_t item = 0;
    std::memcpy(&item, value.bytes.data() + at, 4);
    items.push_back(item);
  }
  return items;
}

std::optional<std::string> textOf(Display* display, const PropertyValue& value) {
  if (value.format != 8) return std::nullopt;
  return decodeText(display, value.type, value.bytes);
}

// The frames of the clients: each client's ancestor just below the root, found one level per
// round for all clients at once; None for a client that is gone.
std::vector<Window> framesOf(xcb_connection_t* c, Window root, const std::vector<Window>& clients) {
  std::vector<Window> frames(clients.size(), None);
  std::vector<Window> at = clients;
  std::vector<std::size_t> open(clients.size());
  for (std::size_t i = 0; i < open.size(); ++i)
    open[i] = i;
  for (int depth = 0; depth < MAX_FRAME_DEPTH && !open.empty(); ++depth) {
    std::vector<xcb_query_tree_cookie_t> cookies;
    for (std::size_t i : open)
      cookies.push_back(xcb_query_tree(c, static_cast<xcb_window_t>(at[i])));
    std::vector<std::size_t> next;
    for (std::size_t k = 0; k < open.size(); ++k) {
      xcb_generic_error_t* error = nullptr;
      auto reply = takeReply(xcb_query_tree_reply(c, cookies[k], &error), &error);
      std::size_t i = open[k];
      if (!reply) continue;
      if (reply->parent == root || reply->parent == XCB_NONE) {
        frames[i] = at[i];
      } else {
        at[i] = reply->parent;
        next.push_back(i);
      }
    }
    open.swap(next);
  }
  return frames;
}

// The layer from the window's state and type; see the layer constants.
int layerOf(const std::vector<unsigned long>& state, const std::vector<unsigned long>& types,
            bool viewable, bool overrideRedirect) {
  const Atoms& a = atoms();
  if (!viewable || contains(state, a.netWmStateHidden)) return LAYER_HIDDEN;
  if (overrideRedirect) return LAYER_POPUP;
  // The type list is in order of preference: the first type known here decides; a window
  // without one is a normal window.
  for (unsigned long type : types) {
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

// The process behind each client connection, by the connection's resource base, as the server
// knows it from the connection itself. A client cannot claim another process this way, and a
// remote client has none.
struct ClientPids {
  XID mask = 0;
  std::unordered_map<XID, std::int32_t> byBase;
  std::int32_t of(Window window) const {
    auto it = byBase.find(window & ~mask);
    return it == byBase.end() ? NO_PROCESS : it->second;
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

// Everything about each (client, frame) pair, in one round of requests; pairs whose frame is gone
// are left out. The process is the server's word where it has one; the window's own claim
// (_NET_WM_PID) only on a server that cannot tell; NO_PROCESS without either.
std::vector<WindowFacts> describe(Display* display,
                                  const std::vector<std::pair<Window, Window>>& pairs,
                                  const std::optional<ClientPids>& pids) {
  xcb_connection_t* c = XGetXCBConnection(display);
  const Atoms& a = atoms();
  struct Asked {
    xcb_get_window_attributes_cookie_t attributes;
    xcb_get_geometry_cookie_t geometry;
    xcb_get_property_cookie_t state, type, opacity, frameOpacity, netName, wmName, wmClass,
        applicationId, pid;
  };
  std::vector<Asked> asked;
  asked.reserve(pairs.size());
  for (const auto& [client, frame] : pairs) {
    Asked q{};
    q.attributes = xcb_get_window_attributes(c, static_cast<xcb_window_t>(frame));
    q.geometry = xcb_get_geometry(c, static_cast<xcb_drawable_t>(frame));
    q.state = ask(c, client, a.netWmState);
    q.type = ask(c, client, a.netWmWindowType);
    q.opacity = ask(c, client, a.netWmWindowOpacity);
    // Some tools set the opacity on the frame, where compositors read it.
    if (frame != client) q.frameOpacity = ask(c, frame, a.netWmWindowOpacity);
    q.netName = ask(c, client, a.netWmName);
    q.wmName = ask(c, client, a.wmName);
    q.wmClass = ask(c, client, a.wmClass);
    q.applicationId = ask(c, client, a.gtkApplicationId);
    if (!pids) q.pid = ask(c, client, a.netWmPid);
    asked.push_back(q);
  }
  std::vector<WindowFacts> rows;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const Asked& q = asked[i];
    auto [client, frame] = pairs[i];
    xcb_generic_error_t* error = nullptr;
    auto attributes = takeReply(xcb_get_window_attributes_reply(c, q.attributes, &error), &error);
    error = nullptr;
    auto geometry = takeReply(xcb_get_geometry_reply(c, q.geometry, &error), &error);
    PropertyValue state = take(c, q.state), type = take(c, q.type), opacity = take(c, q.opacity);
    PropertyValue frameOpacity = frame != client ? take(c, q.frameOpacity) : PropertyValue{};
    PropertyValue netName = take(c, q.netName), wmName = take(c, q.wmName);
    PropertyValue wmClass = take(c, q.wmClass), applicationId = take(c, q.applicationId);
    PropertyValue claimedPid = pids ? PropertyValue{} : take(c, q.pid);
    if (!attributes || !geometry) continue;

    WindowFacts facts;
    facts.client = client;
    facts.frame = frame;
    // The frame is a child of the root, so its position is already in root coordinates.
    double border = geometry->border_width;
    facts.bounds = Rect{static_cast<double>(geometry->x), static_cast<double>(geometry->y),
                        geometry->width + 2 * border, geometry->height + 2 * border};
    facts.layer =
        layerOf(itemsOf(state, XA_ATOM), itemsOf(type, XA_ATOM),
                attributes->map_state == XCB_MAP_STATE_VIEWABLE, attributes->override_redirect);
    auto alpha = itemsOf(opacity, a.cardinal);
    if (alpha.empty()) alpha = itemsOf(frameOpacity, a.cardinal);
    if (!alpha.empty()) facts.alpha = static_cast<double>(alpha.front()) / 4294967295.0;
    if (pids) {
      facts.pid = pids->of(client);
    } else if (auto claim = itemsOf(claimedPid, a.cardinal);
               !claim.empty() && claim.front() > 0 && claim.front() <= 0x7FFFFFFFul) {
      facts.pid = static_cast<std::int32_t>(claim.front());
    }
    auto title = textOf(display, netName);
    if (!title || title->empty()) title = textOf(display, wmName);
    facts.title = title.value_or(std::string());
    if (wmClass.type == a.string && wmClass.format == 8) {
      facts.className = decodeClass(wmClass.bytes);
    }
    facts.applicationId = textOf(display, applicationId).value_or(std::string());
    rows.push_back(std::move(facts));
  }
  return rows;
}

// The clients of a live manager, front to back.
std::vector<WindowFacts> managedWindows(Display* display, Window root,
                                        const std::vector<unsigned long>& stacking,
                                        const std::optional<ClientPids>& pids) {
  std::vector<Window> clients(stacking.rbegin(), stacking.rend());
  std::vector<Window> frames = framesOf(XGetXCBConnection(display), root, clients);
  std::vector<std::pair<Window, Window>> pairs;
  for (std::size_t i = 0; i < clients.size(); ++i) {
    if (frames[i] != None) pairs.emplace_back(clients[i], frames[i]);
  }
  return describe(display, pairs, pids);
}

// The window in a top-level that carries WM_STATE (the one a manager framed), looked for a few
// levels down; the top-level itself when none does, as without a manager.
Window clientIn(Display* display, Window topLevel) {
  std::vector<Window> level{topLevel};
  for (int depth = 0; depth < 3 && !level.empty(); ++depth) {
    std::vector<Window> next;
    for (Window window : level) {
      if (!readItems(display, window, atoms().wmState, atoms().wmState).empty()) return window;
      auto below = children(display, window);
      next.insert(next.end(), below.begin(), below.end());
    }
    level.swap(next);
  }
  return topLevel;
}

// The viewable top-levels, front to back, each with its client.
std::vector<WindowFacts> topLevelWindows(Display* display, Window root,
                                         const std::optional<ClientPids>& pids) {
  std::vector<std::pair<Window, Window>> pairs;
  auto stack = children(display, root);
  for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, *it, &attributes)) continue;
    if (attributes.map_state != IsViewable || attributes.c_class != InputOutput) continue;
    pairs.emplace_back(clientIn(display, *it), *it);
  }
  return describe(display, pairs, pids);
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
    if (row.pid < 1) continue;
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

bool managerAlive(Display* display, Window root) {
  const Atoms& a = atoms();
  auto check = readItems(display, root, a.netSupportingWmCheck, XA_WINDOW);
  if (check.empty() || check.front() == None) return false;
  auto self = readItems(display, check.front(), a.netSupportingWmCheck, XA_WINDOW);
  return !self.empty() && self.front() == check.front();
}

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
    // A loss met on the XCB side leaves the rows incomplete, whatever Xlib has noticed so far.
    if (scope.lost() || xcb_connection_has_error(XGetXCBConnection(display))) return std::nullopt;
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
                            {"kCGWindowOwnerPID", row.pid},
                            {"kCGWindowOwnerName", row.className},
                            {"kCGWindowName", row.title},
                            {"kCGWindowLayer", row.layer},
                            {"kCGWindowAlpha", row.alpha}};
    list.push_back(std::move(entry));
  }
  return list;
}

}  // namespace qcu
