// The session and its lock, and what the two permissions mean on X11.
#include <X11/Xutil.h>
#include <X11/extensions/scrnsaver.h>

#include <chrono>
#include <mutex>

#include "desktop/platform.h"
#include "desktop/x11/bus.h"
#include "desktop/x11/display.h"

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
// display's console, locked when the X screen saver is on or a lock service says so.
std::optional<nlohmann::json> platformSessionDictionary() {
  if (!x11::displayUsable()) return std::nullopt;
  bool locked = screenSaverOn();
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
