// The session and its lock, and what the two permissions mean on X11.
#include <X11/Xlib-xcb.h>
#include <X11/Xutil.h>
#include <X11/extensions/scrnsaver.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "desktop/platform.h"
#include "desktop/x11/bus.h"
#include "desktop/x11/display.h"
#include "desktop/x11/xcb_reply.h"

namespace qcu {
namespace {

using SteadyClock = std::chrono::steady_clock;

// A lock service that failed is taken as saying "locked" for this long before it is asked
// again, so that a service that does not answer costs the owner monitor's 100 ms tick its
// timeout at most once a second.
constexpr auto FAILED_SERVICE_MEMORY = std::chrono::seconds(1);
constexpr int LOCK_QUERY_TIMEOUT_MS = 250;
// Starting the accessibility bus on first use takes a moment.
constexpr int ACCESSIBILITY_BUS_TIMEOUT_MS = 2000;

// The X screen saver: on means locked; a server without the extension has nothing to say; a
// query that fails means locked.
bool screenSaverOn() {
  x11::RequestScope scope;
  if (!scope) return true;
  int eventBase = 0, errorBase = 0;
  if (!XScreenSaverQueryExtension(scope.display, &eventBase, &errorBase)) return false;
  XScreenSaverInfo info{};
  if (!XScreenSaverQueryInfo(scope.display, scope.root, &info) || scope.lost()) return true;
  return info.state == ScreenSaverOn;
}

// A screen locker that draws a window of its own (an override-redirect window over the whole
// screen, with the keyboard grabbed) tells none of the services below. So the screen reads
// locked while a viewable override-redirect window covers the whole root and no ordinary window
// (viewable, drawable, not override-redirect: what a manager frames) is stacked above it. Menus
// and tooltips are override-redirect too, but small. The root's children are read top down in
// two pipelined rounds, a third only for override-redirect windows above every ordinary one.
// Any failure but a window that went away in between reads locked.
bool lockerWindowShown() {
  x11::RequestScope scope;
  if (!scope) return true;
  xcb_connection_t* c = XGetXCBConnection(scope.display);
  const auto root = static_cast<xcb_window_t>(scope.root);
  auto treeAsked = xcb_query_tree(c, root);
  auto screenAsked = xcb_get_geometry(c, root);
  xcb_generic_error_t* error = nullptr;
  auto tree = x11::takeReply(xcb_query_tree_reply(c, treeAsked, &error), &error);
  auto screen = x11::takeReply(xcb_get_geometry_reply(c, screenAsked, &error), &error);
  if (!tree || !screen) return true;
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  const int count = xcb_query_tree_children_length(tree.get());

  // Bottom to top, as the server stacks them.
  std::vector<xcb_get_window_attributes_cookie_t> asked;
  asked.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i)
    asked.push_back(xcb_get_window_attributes(c, children[i]));
  std::vector<x11::XcbReply<xcb_get_window_attributes_reply_t>> attributes;
  attributes.reserve(asked.size());
  bool failed = false;
  for (auto cookie : asked) {
    bool gone = false;
    attributes.push_back(
        x11::takeReply(xcb_get_window_attributes_reply(c, cookie, &error), &error, &gone));
    if (!attributes.back() && !gone) failed = true;
  }
  if (failed) return true;

  std::vector<xcb_get_geometry_cookie_t> covers;
  for (int i = count - 1; i >= 0; --i) {
    const auto* window = attributes[static_cast<std::size_t>(i)].get();
    if (!window || window->map_state != XCB_MAP_STATE_VIEWABLE) continue;
    if (!window->override_redirect) {
      if (window->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT) break;
      continue;
    }
    covers.push_back(xcb_get_geometry(c, children[i]));
  }
  bool shown = false;
  for (auto cookie : covers) {
    bool gone = false;
    auto geometry = x11::takeReply(xcb_get_geometry_reply(c, cookie, &error), &error, &gone);
    if (!geometry) {
      failed = failed || !gone;
      continue;
    }
    const int border = 2 * geometry->border_width;
    shown = shown || (geometry->x <= 0 && geometry->y <= 0 &&
                      geometry->x + geometry->width + border >= screen->width &&
                      geometry->y + geometry->height + border >= screen->height);
  }
  return shown || failed || scope.lost() || xcb_connection_has_error(c);
}

struct LockService {
  x11::BusCall call;
  // Where the answer's boolean is: the reply's first value, or inside its first variant.
  bool boxed;
  std::mutex lock;  // guards failedAt
  std::optional<SteadyClock::time_point> failedAt;
};

LockService* lockServices(std::size_t& count) {
  static LockService services[] = {
      {{x11::Bus::Session, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
        "org.freedesktop.ScreenSaver", "GetActive", nullptr, "(b)", LOCK_QUERY_TIMEOUT_MS, false},
       false,
       {},
       {}},
      {{x11::Bus::Session, "org.gnome.ScreenSaver", "/org/gnome/ScreenSaver",
        "org.gnome.ScreenSaver", "GetActive", nullptr, "(b)", LOCK_QUERY_TIMEOUT_MS, false},
       false,
       {},
       {}},
      {{x11::Bus::System, "org.freedesktop.login1", "/org/freedesktop/login1/session/auto",
        "org.freedesktop.DBus.Properties", "Get",
        "('org.freedesktop.login1.Session', 'LockedHint')", "(v)", LOCK_QUERY_TIMEOUT_MS, false},
       true,
       {},
       {}},
  };
  count = sizeof(services) / sizeof(services[0]);
  return services;
}

// Whether one lock service says locked: a present service that says so, errs or does not
// answer in time; an absent service, or one without this method, says nothing.
bool serviceSaysLocked(LockService& service) {
  {
    std::lock_guard<std::mutex> guard(service.lock);
    if (service.failedAt && SteadyClock::now() - *service.failedAt < FAILED_SERVICE_MEMORY) {
      return true;
    }
  }
  x11::BusReply reply = x11::busCall(service.call);
  if (reply.answer == x11::BusAnswer::Absent || reply.answer == x11::BusAnswer::NotProvided) {
    return false;
  }
  bool locked = true;
  if (reply.answer == x11::BusAnswer::Reply) {
    GVariant* value = g_variant_get_child_value(reply.value.get(), 0);
    GVariant* inner = service.boxed ? g_variant_get_variant(value) : g_variant_ref(value);
    if (g_variant_is_of_type(inner, G_VARIANT_TYPE_BOOLEAN)) {
      locked = g_variant_get_boolean(inner);
      g_variant_unref(inner);
      g_variant_unref(value);
      return locked;
    }
    g_variant_unref(inner);
    g_variant_unref(value);
  }
  std::lock_guard<std::mutex> guard(service.lock);
  service.failedAt = SteadyClock::now();
  return true;
}

bool busSaysLocked() {
  std::size_t count = 0;
  LockService* services = lockServices(count);
  bool locked = false;
  // Every service is asked, so that each keeps its own failure memory current.
  for (std::size_t i = 0; i < count; ++i)
    locked = serviceSaysLocked(services[i]) || locked;
  return locked;
}

}  // namespace

// None without a usable display: that reads as locked. Otherwise the session is on this
// display's console, locked when the X screen saver is on, a locker's window covers the screen
// or a lock service says so.
std::optional<nlohmann::json> platformSessionDictionary() {
  if (!x11::displayUsable()) return std::nullopt;
  bool locked = screenSaverOn();
  locked = lockerWindowShown() || locked;
  locked = busSaysLocked() || locked;
  if (!x11::displayUsable()) return std::nullopt;
  return nlohmann::json{{"kCGSSessionOnConsoleKey", true}, {"CGSSessionScreenIsLocked", locked}};
}

// Trusted when the accessibility bus answers with its address (starting it if need be): without
// it no application's accessibility can be reached.
bool platformAccessibilityTrusted() {
  x11::BusCall call{x11::Bus::Session,
                    "org.a11y.Bus",
                    "/org/a11y/bus",
                    "org.a11y.Bus",
                    "GetAddress",
                    nullptr,
                    "(s)",
                    ACCESSIBILITY_BUS_TIMEOUT_MS,
                    true};
  x11::BusReply reply = x11::busCall(call);
  if (reply.answer != x11::BusAnswer::Reply) return false;
  const char* address = nullptr;
  g_variant_get(reply.value.get(), "(&s)", &address);
  return address && *address;
}

// Allowed when the display is open and its pixels can be read: a server may refuse images to an
// untrusted client.
bool platformScreenCaptureAllowed() {
  x11::RequestScope scope;
  if (!scope) return false;
  unsigned long mark = scope.mark();
  XImage* image = XGetImage(scope.display, scope.root, 0, 0, 1, 1, AllPlanes, ZPixmap);
  if (image) XDestroyImage(image);
  return scope.clean(mark) && image != nullptr;
}

}  // namespace qcu
