#include "desktop/x11/bus.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace qcu::x11 {
namespace {

using SteadyClock = std::chrono::steady_clock;

// After a bus could not be reached, it counts as absent for this long before the next try.
constexpr auto ABSENT_RETRY = std::chrono::seconds(1);

// One bus connection, made on a thread of its own (making one has no timeout of its own, and a
// stopped bus daemon would hold the caller for ever).
struct Link {
  std::mutex lock;  // guards everything below
  std::condition_variable changed;
  GDBusConnection* connection = nullptr;
  bool connecting = false;
  std::optional<SteadyClock::time_point> absentSince;
};

Link& link(Bus bus) {
  static auto* links = new Link[3];
  return links[static_cast<int>(bus)];
}

bool exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// The bus address from the environment and the usual sockets only: never one that GLib would
// make by launching a bus of its own.
std::optional<std::string> address(Bus bus) {
  if (bus == Bus::Accessibility) {
    if (const char* value = std::getenv("AT_SPI_BUS_ADDRESS"); value && *value) return value;
    // Starts the accessibility bus when it is not running yet, as any assistive tool does.
    BusCall call{Bus::Session,   "org.a11y.Bus", "/org/a11y/bus",
                 "org.a11y.Bus", "GetAddress",   nullptr,
                 "(s)",          2000,           true};
    BusReply reply = busCall(call);
    if (reply.answer != BusAnswer::Reply) return std::nullopt;
    const char* found = nullptr;
    g_variant_get(reply.value.get(), "(&s)", &found);
    if (!found || !*found) return std::nullopt;
    return std::string(found);
  }
  if (bus == Bus::Session) {
    if (const char* value = std::getenv("DBUS_SESSION_BUS_ADDRESS"); value && *value) return value;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime && exists(std::string(runtime) + "/bus")) {
      return "unix:path=" + std::string(runtime) + "/bus";
    }
    return std::nullopt;
  }
  if (const char* value = std::getenv("DBUS_SYSTEM_BUS_ADDRESS"); value && *value) return value;
  if (exists("/run/dbus/system_bus_socket")) return "unix:path=/run/dbus/system_bus_socket";
  return std::nullopt;
}

void connectInBackground(Link* target, Bus bus) {
  // The accessibility bus's address comes from the session bus, which may itself be slow.
  std::optional<std::string> where = address(bus);
  GDBusConnection* made = nullptr;
  if (where) {
    auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                   G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
    made = g_dbus_connection_new_for_address_sync(where->c_str(), flags, nullptr, nullptr, nullptr);
  }
  std::lock_guard<std::mutex> guard(target->lock);
  target->connecting = false;
  if (made) {
    g_dbus_connection_set_exit_on_close(made, FALSE);
    target->connection = made;
    target->absentSince.reset();
  } else {
    target->absentSince = SteadyClock::now();
  }
  target->changed.notify_all();
}

// A referenced open connection; none with Absent when there is no bus, none with Failed when
// it is still being made after the wait.
GDBusConnection* connection(Bus bus, int timeoutMs, BusAnswer& why) {
  Link& target = link(bus);
  std::unique_lock<std::mutex> guard(target.lock);
  if (target.connection && g_dbus_connection_is_closed(target.connection)) {
    g_object_unref(target.connection);
    target.connection = nullptr;
  }
  if (!target.connection && !target.connecting) {
    if (target.absentSince && SteadyClock::now() - *target.absentSince < ABSENT_RETRY) {
      why = BusAnswer::Absent;
      return nullptr;
    }
    target.connecting = true;
    std::thread(connectInBackground, &target, bus).detach();
  }
  target.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                          [&] { return !target.connecting; });
  if (target.connection) return G_DBUS_CONNECTION(g_object_ref(target.connection));
  why = target.connecting ? BusAnswer::Failed : BusAnswer::Absent;
  return nullptr;
}

BusAnswer classify(const GError* error) {
  if (error->domain == G_DBUS_ERROR) {
    switch (error->code) {
      case G_DBUS_ERROR_SERVICE_UNKNOWN:
      case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
        return BusAnswer::Absent;
      case G_DBUS_ERROR_UNKNOWN_METHOD:
      case G_DBUS_ERROR_UNKNOWN_INTERFACE:
      case G_DBUS_ERROR_UNKNOWN_OBJECT:
      case G_DBUS_ERROR_UNKNOWN_PROPERTY:
        return BusAnswer::NotProvided;
      default:
        break;
    }
  }
  return BusAnswer::Failed;
}

}  // namespace

GDBusConnection* busConnection(Bus bus, int timeoutMs) {
  BusAnswer why = BusAnswer::Failed;
  return connection(bus, timeoutMs, why);
}

BusReply busCall(const BusCall& call) {
  BusReply reply;
  const auto started = SteadyClock::now();
  GDBusConnection* bus = connection(call.bus, call.timeoutMs, reply.answer);
  if (!bus) return reply;
  // What is left of the timeout after waiting for the connection, at least one millisecond.
  auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - started);
  int remaining = std::max(1, call.timeoutMs - static_cast<int>(spent.count()));

  GVariant* arguments = nullptr;
  if (call.arguments)
    arguments = g_variant_parse(nullptr, call.arguments, nullptr, nullptr, nullptr);
  GError* error = nullptr;
  auto flags = call.autoStart ? G_DBUS_CALL_FLAGS_NONE : G_DBUS_CALL_FLAGS_NO_AUTO_START;
  GVariant* value = g_dbus_connection_call_sync(
      bus, call.name, call.path, call.interface, call.method, arguments,
      call.replyType ? G_VARIANT_TYPE(call.replyType) : nullptr, flags, remaining, nullptr, &error);
  g_object_unref(bus);
  if (!value) {
    reply.answer = error ? classify(error) : BusAnswer::Failed;
    if (error) g_error_free(error);
    return reply;
  }
  reply.answer = BusAnswer::Reply;
  reply.value = std::shared_ptr<GVariant>(value, g_variant_unref);
  return reply;
}

}  // namespace qcu::x11
