// Method calls on the accessibility bus, made with GDBus directly: one at a time or many in
// flight at once, each bounded by the messaging timeout, and never waiting on an application
// that recently let a call time out.
#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qcu::x11::atspi {

inline constexpr const char* REGISTRY = "org.a11y.atspi.Registry";
inline constexpr const char* ROOT_PATH = "/org/a11y/atspi/accessible/root";
inline constexpr const char* ACCESSIBLE_INTERFACE = "org.a11y.atspi.Accessible";
inline constexpr const char* ACTION_INTERFACE = "org.a11y.atspi.Action";
inline constexpr const char* COMPONENT_INTERFACE = "org.a11y.atspi.Component";
inline constexpr const char* COLLECTION_INTERFACE = "org.a11y.atspi.Collection";
inline constexpr const char* EDITABLE_TEXT_INTERFACE = "org.a11y.atspi.EditableText";
inline constexpr const char* TEXT_INTERFACE = "org.a11y.atspi.Text";
inline constexpr const char* VALUE_INTERFACE = "org.a11y.atspi.Value";
inline constexpr const char* PROPERTIES = "org.freedesktop.DBus.Properties";

using Variant = std::shared_ptr<GVariant>;

// Takes over the caller's reference (a floating one is sunk, an owned one kept as it is); null
// stays null.
Variant own(GVariant* value);

// One method call. The reply is checked against replyType; a reply of another type counts as
// no reply.
struct Call {
  std::string bus;
  std::string path;
  const char* interface = nullptr;
  const char* method = nullptr;
  Variant arguments;  // null for none
  const char* replyType = nullptr;
};

// Sets the bound of every later call; start-up sets 1 s. Values that are not positive or not
// numbers leave the bound as it is.
void setTimeout(double seconds);
int timeoutMs();

// Calls to the registry, which answers for itself and never for an application, are bounded
// lower: a registry that does not answer promptly is not going to.
Variant callRegistry(const Call& call);
// One call; null on any error, a wrong reply type or no answer in time.
Variant callOne(const Call& call);
// Many calls in flight at once, each answered or failed within the timeout from when it is
// sent; replies in order. After one call to an application times out, the rest to it fail.
std::vector<Variant> callAll(const std::vector<Call>& calls);

// The process behind a connection of the accessibility bus, as the bus itself knows it.
std::optional<std::int32_t> processOf(const std::string& busName);

// Sends whatever GLib logs to standard error, never to standard output (the helper's wire), and
// drops its debug and info messages. Called once, before anything uses GLib.
void keepGLibOffStdout();

// Forgets every open circuit (tests).
void resetCircuitsForTests();

}  // namespace qcu::x11::atspi
