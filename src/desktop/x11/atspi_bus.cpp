#include "desktop/x11/atspi_bus.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>

#include "desktop/x11/bus.h"

namespace qcu::x11::atspi {
namespace {

using SteadyClock = std::chrono::steady_clock;

// After a call to an application timed out, further calls to it fail at once for this long:
// a stopped application would otherwise cost every read of a walk the whole timeout. The first
// call after it goes through again, so an application that recovers is usable within this time.
constexpr auto CIRCUIT_OPEN = std::chrono::milliseconds(1500);

// Calls of one batch in flight at once.
constexpr std::size_t MAX_IN_FLIGHT = 8;

// The registry is a daemon of its own that answers from memory.
constexpr int REGISTRY_TIMEOUT_MS = 500;

// Distinct connections whose processes are remembered before the memory starts afresh.
constexpr std::size_t MAX_KNOWN_PROCESSES = 4096;

std::atomic<int> timeout{1000};

struct Circuits {
  std::mutex lock;  // guards openUntil
  std::map<std::string, SteadyClock::time_point> openUntil;
};
Circuits& circuits() {
  static auto* made = new Circuits;
  return *made;
}

bool circuitOpen(const std::string& bus) {
  Circuits& c = circuits();
  std::lock_guard<std::mutex> guard(c.lock);
  auto it = c.openUntil.find(bus);
  if (it == c.openUntil.end()) return false;
  if (SteadyClock::now() < it->second) return true;
  c.openUntil.erase(it);
  return false;
}

void openCircuit(const std::string& bus) {
  Circuits& c = circuits();
  std::lock_guard<std::mutex> guard(c.lock);
  c.openUntil[bus] = SteadyClock::now() + CIRCUIT_OPEN;
}

bool isTimeout(const GError* error) {
  return g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY) ||
         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMEOUT);
}

GDBusConnection* connection(int timeoutMs) {
  return busConnection(Bus::Accessibility, timeoutMs);
}

Variant callWith(const Call& call, int timeoutMs) {
  if (call.bus.empty() || call.path.empty() || circuitOpen(call.bus)) return nullptr;
  GDBusConnection* bus = connection(timeoutMs);
  if (!bus) return nullptr;
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, call.bus.c_str(), call.path.c_str(), call.interface, call.method, call.arguments.get(),
      call.replyType ? G_VARIANT_TYPE(call.replyType) : nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
      timeoutMs, nullptr, &error);
  g_object_unref(bus);
  if (error) {
    if (isTimeout(error)) openCircuit(call.bus);
    g_error_free(error);
  }
  return own(reply);
}

// The calls of one callAll, answered on the caller's own main context.
struct Batch {
  std::vector<Variant> replies;
  std::size_t inFlight = 0;
};
struct Slot {
  Batch* batch = nullptr;
  std::size_t index = 0;
  std::string bus;
};

void finished(GObject* source, GAsyncResult* result, gpointer data) {
  auto* slot = static_cast<Slot*>(data);
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  slot->batch->replies[slot->index] = own(reply);
  if (error) {
    // At once, so that the batch sends nothing more to this application.
    if (isTimeout(error)) openCircuit(slot->bus);
    g_error_free(error);
  }
  --slot->batch->inFlight;
}

}  // namespace

Variant own(GVariant* value) {
  if (!value) return nullptr;
  // A floating value (one just built) is sunk; a reply of a call is already owned and taken as
  // it is: adding a reference to it would keep every reply alive for good.
  return Variant(g_variant_take_ref(value), g_variant_unref);
}

void setTimeout(double seconds) {
  if (!(seconds > 0)) return;
  timeout = static_cast<int>(std::clamp(std::ceil(seconds * 1000.0), 1.0, 600000.0));
}

int timeoutMs() {
  return timeout;
}

Variant callRegistry(const Call& call) {
  return callWith(call, std::min(timeoutMs(), REGISTRY_TIMEOUT_MS));
}

Variant callOne(const Call& call) {
  return callWith(call, timeoutMs());
}

std::vector<Variant> callAll(const std::vector<Call>& calls) {
  Batch batch;
  batch.replies.resize(calls.size());
  if (calls.empty()) return batch.replies;
  const int limit = timeoutMs();
  GDBusConnection* bus = connection(limit);
  if (!bus) return batch.replies;

  // Replies are delivered on the thread-default context of the thread that made the calls: a
  // context of this call's own, iterated here until every call sent is answered or timed out.
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  std::vector<Slot> slots(calls.size());
  std::size_t next = 0;
  // An application answers one call after another, and a call's timeout runs from when it is
  // sent: only a few are in flight at once, so that none waits long behind the others.
  const auto sendMore = [&] {
    while (next < calls.size() && batch.inFlight < MAX_IN_FLIGHT) {
      const Call& call = calls[next];
      const std::size_t index = next++;
      if (call.bus.empty() || call.path.empty() || circuitOpen(call.bus)) continue;
      slots[index] = Slot{&batch, index, call.bus};
      ++batch.inFlight;
      g_dbus_connection_call(
          bus, call.bus.c_str(), call.path.c_str(), call.interface, call.method,
          call.arguments.get(), call.replyType ? G_VARIANT_TYPE(call.replyType) : nullptr,
          G_DBUS_CALL_FLAGS_NO_AUTO_START, limit, nullptr, finished, &slots[index]);
    }
  };
  sendMore();
  // Each call ends within its timeout, answered or not, so this loop ends too.
  while (batch.inFlight > 0) {
    g_main_context_iteration(context, TRUE);
    sendMore();
  }
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  g_object_unref(bus);
  return batch.replies;
}

std::optional<std::int32_t> processOf(const std::string& busName) {
  static std::mutex lock;  // guards known
  static auto* known = new std::map<std::string, std::int32_t>;
  {
    std::lock_guard<std::mutex> guard(lock);
    auto it = known->find(busName);
    if (it != known->end()) return it->second;
  }
  Call call{"org.freedesktop.DBus",
            "/org/freedesktop/DBus",
            "org.freedesktop.DBus",
            "GetConnectionUnixProcessID",
            own(g_variant_new("(s)", busName.c_str())),
            "(u)"};
  Variant reply = callRegistry(call);
  if (!reply) return std::nullopt;
  guint32 pid = 0;
  g_variant_get(reply.get(), "(u)", &pid);
  if (pid == 0 || pid > static_cast<guint32>(INT32_MAX)) return std::nullopt;
  // A unique connection name is never given to another connection, so its process never
  // changes.
  std::lock_guard<std::mutex> guard(lock);
  if (known->size() >= MAX_KNOWN_PROCESSES) known->clear();
  (*known)[busName] = static_cast<std::int32_t>(pid);
  return static_cast<std::int32_t>(pid);
}

void keepGLibOffStdout() {
  // GLib aborts when its writer is set twice.
  static std::once_flag once;
  std::call_once(once, [] {
    g_log_set_writer_func(
        [](GLogLevelFlags level, const GLogField* fields, gsize count, gpointer) {
          if (level & (G_LOG_LEVEL_DEBUG | G_LOG_LEVEL_INFO)) return G_LOG_WRITER_HANDLED;
          gchar* line = g_log_writer_format_fields(level, fields, count, FALSE);
          std::fprintf(stderr, "%s\n", line);
          g_free(line);
          return G_LOG_WRITER_HANDLED;
        },
        nullptr, nullptr);
  });
}

void resetCircuitsForTests() {
  Circuits& c = circuits();
  std::lock_guard<std::mutex> guard(c.lock);
  c.openUntil.clear();
}

}  // namespace qcu::x11::atspi
