// The session lock and the permissions on a real X11 desktop.
// GoogleTest comes before the X11 headers, whose macros (None, Bool) clash with it.
#include <gtest/gtest.h>

#include <X11/extensions/scrnsaver.h>
#include <gio/gio.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "desktop/platform.h"
#include "desktop/signals.h"
#include "x11/x11_support.h"

namespace qcu::test {
namespace {

using SessionTest = X11Test;

TEST_F(SessionTest, ScreenSaverOnLocksAndOffUnlocks) {
  // The first lock queries may still wait for the session bus connection, which reads as locked.
  ASSERT_TRUE(waitFor([] { return !screenLocked(); }))
      << "the desktop reads as locked before the test";
  XForceScreenSaver(test, ScreenSaverActive);
  XSync(test, False);
  EXPECT_TRUE(waitFor([] { return screenLocked(); })) << "the screen saver did not lock";
  XForceScreenSaver(test, ScreenSaverReset);
  XSync(test, False);
  EXPECT_TRUE(waitFor([] { return !screenLocked(); })) << "ending the screen saver did not unlock";
}

// A screen locker's own window: override-redirect, over the whole screen, above every ordinary
// window. Menus, tooltips and full-screen application windows are not lockers.
TEST_F(SessionTest, AFullScreenOverrideRedirectWindowOnTopLocks) {
  ASSERT_TRUE(waitFor([] { return !screenLocked(); }))
      << "the desktop reads as locked before the test";
  const int width = DisplayWidth(test, DefaultScreen(test));
  const int height = DisplayHeight(test, DefaultScreen(test));
  TestClient client = startClient();
  Window ordinary = client.window(100, 100, 300, 200, "ordinary");
  ASSERT_TRUE(ordinary && waitFor([&] {
                auto row = rowOf(cgWindows(), ordinary);
                return row && row->layer == 0;
              }))
      << "the ordinary window was never shown";

  struct Case {
    const char* what;
    int x, y, width, height;
    const char* type;
    const char* state;
    bool lowered;  // put under the ordinary window once shown
    bool locks;
  };
  const Case cases[] = {
      {"a full-screen override-redirect window", 0, 0, width, height, "override", "none", false,
       true},
      {"an override-redirect window beyond the screen's edges", -10, -10, width + 20, height + 20,
       "override", "none", false, true},
      {"a menu-sized override-redirect window", 200, 150, 220, 300, "override", "none", false,
       false},
      {"a full-screen override-redirect window under an ordinary one", 0, 0, width, height,
       "override", "none", true, false},
      {"a full-screen ordinary window", 0, 0, width, height, "normal", "fullscreen", false, false},
  };
  for (const auto& c : cases) {
    Window window = client.window(c.x, c.y, c.width, c.height, c.what, c.type, c.state);
    ASSERT_TRUE(window) << c.what;
    const std::string id = std::to_string(window);
    if (c.lowered) ASSERT_TRUE(client.command("lower " + id)) << c.what;
    ASSERT_TRUE(waitFor([&] {
      XWindowAttributes attributes;
      return XGetWindowAttributes(test, window, &attributes) && attributes.map_state == IsViewable;
    })) << c.what
        << " was never shown";
    if (std::string(c.state) == "fullscreen") {
      ASSERT_TRUE(waitFor([&] {
        auto row = rowOf(cgWindows(), window);
        return row && row->bounds.width >= width && row->bounds.height >= height;
      })) << c.what
          << " never covered the screen";
    }
    if (c.locks) {
      EXPECT_TRUE(waitFor([] { return screenLocked(); })) << c.what << " did not lock";
    } else {
      EXPECT_FALSE(screenLocked()) << c.what << " locked";
    }
    ASSERT_TRUE(client.command("unmap " + id)) << c.what;
    EXPECT_TRUE(waitFor([] { return !screenLocked(); }))
        << "unmapping " << c.what << " did not unlock";
  }
}

TEST_F(SessionTest, PermissionsOnAnOpenDesktopWithAnAccessibilityBus) {
  EXPECT_TRUE(platformScreenCaptureAllowed());
  EXPECT_TRUE(platformAccessibilityTrusted())
      << "the accessibility bus did not answer on the session bus";
}

// A screen saver service of our own on the session bus, answering as the case says.
enum class Behaviour { Unlocked, Locked, Fails, NoMethod, Silent };
std::atomic<Behaviour> behaviour{Behaviour::Unlocked};

void answer(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
            GDBusMethodInvocation* invocation, gpointer) {
  switch (behaviour.load()) {
    case Behaviour::Unlocked:
    case Behaviour::Locked:
      g_dbus_method_invocation_return_value(
          invocation, g_variant_new("(b)", behaviour.load() == Behaviour::Locked));
      return;
    case Behaviour::Fails:
      g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed",
                                                 "broken");
      return;
    case Behaviour::NoMethod:
      g_dbus_method_invocation_return_dbus_error(
          invocation, "org.freedesktop.DBus.Error.UnknownMethod", "no such method");
      return;
    case Behaviour::Silent:
      // Never answered: the caller's timeout decides. Dropped when the connection closes.
      g_object_ref(invocation);
      return;
  }
}

struct FakeScreenSaver {
  GMainContext* context = g_main_context_new();
  GMainLoop* loop = g_main_loop_new(context, FALSE);
  GDBusConnection* connection = nullptr;
  std::thread thread;

  bool start() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!address) return false;
    auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                   G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
    connection = g_dbus_connection_new_for_address_sync(address, flags, nullptr, nullptr, nullptr);
    if (!connection) return false;
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(
        "<node><interface name='org.freedesktop.ScreenSaver'><method name='GetActive'>"
        "<arg type='b' direction='out'/></method></interface></node>",
        nullptr);
    static const GDBusInterfaceVTable vtable = {answer, nullptr, nullptr, {}};
    // Calls are dispatched in the context that is the thread default at registration.
    g_main_context_push_thread_default(context);
    guint id =
        g_dbus_connection_register_object(connection, "/org/freedesktop/ScreenSaver",
                                          node->interfaces[0], &vtable, nullptr, nullptr, nullptr);
    g_main_context_pop_thread_default(context);
    g_dbus_node_info_unref(node);
    GVariant* owned = g_dbus_connection_call_sync(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", "org.freedesktop.ScreenSaver", 4u),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    if (!owned || id == 0) return false;
    guint32 result = 0;
    g_variant_get(owned, "(u)", &result);
    g_variant_unref(owned);
    thread = std::thread([this] {
      g_main_context_push_thread_default(context);
      g_main_loop_run(loop);
      g_main_context_pop_thread_default(context);
    });
    return result == 1;  // the primary owner
  }

  ~FakeScreenSaver() {
    if (thread.joinable()) {
      g_main_loop_quit(loop);
      thread.join();
    }
    if (connection) {
      g_dbus_connection_close_sync(connection, nullptr, nullptr);
      g_object_unref(connection);
    }
    g_main_loop_unref(loop);
    g_main_context_unref(context);
  }
};

// A present service decides by its answer; one that errs or does not answer locks; one that has
// no such method says nothing.
TEST_F(SessionTest, ScreenSaverServiceOnTheSessionBus) {
  FakeScreenSaver service;
  ASSERT_TRUE(service.start()) << "could not own org.freedesktop.ScreenSaver on the session bus";
  struct Case {
    Behaviour behaviour;
    bool locked;
    const char* what;
  };
  // Failures come last: a failed service is remembered as locked for a while.
  const Case cases[] = {
      {Behaviour::Unlocked, false, "a service saying unlocked"},
      {Behaviour::Locked, true, "a service saying locked"},
      {Behaviour::NoMethod, false, "a service without the method"},
      {Behaviour::Fails, true, "a service that fails"},
      {Behaviour::Silent, true, "a service that does not answer"},
  };
  for (const auto& c : cases) {
    behaviour = c.behaviour;
    if (c.behaviour == Behaviour::Silent) std::this_thread::sleep_for(std::chrono::seconds(2));
    auto session = platformSessionDictionary();
    ASSERT_TRUE(session) << c.what;
    EXPECT_EQ((*session)["CGSSessionScreenIsLocked"], c.locked) << c.what;
  }
}

}  // namespace
}  // namespace qcu::test
