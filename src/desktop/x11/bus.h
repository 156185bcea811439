// Short, bounded D-Bus method calls on the session and system buses (GDBus), and the bounded
// connection to the accessibility bus.
#pragma once

#include <gio/gio.h>

#include <memory>

namespace qcu::x11 {

// The accessibility bus is the one whose address the session bus's org.a11y.Bus gives (or
// AT_SPI_BUS_ADDRESS names).
enum class Bus { Session, System, Accessibility };

enum class BusAnswer {
  Reply,        // the service answered; value holds the reply
  Absent,       // no such bus, or nobody owns the name
  NotProvided,  // the service is there but has no such object, interface or method
  Failed,       // any other error, a reply of the wrong type, or no answer in time
};

struct BusReply {
  BusAnswer answer = BusAnswer::Failed;
  std::shared_ptr<GVariant> value;
};

struct BusCall {
  Bus bus = Bus::Session;
  const char* name = nullptr;
  const char* path = nullptr;
  const char* interface = nullptr;
  const char* method = nullptr;
  // Arguments as a GVariant text, e.g. "('org.freedesktop.login1.Session', 'LockedHint')"; null
  // for none.
  const char* arguments = nullptr;
  const char* replyType = nullptr;
  int timeoutMs = 250;
  // Whether the bus may start the service to answer.
  bool autoStart = false;
};

// Never blocks much longer than the call's timeout, even while the bus itself does not answer:
// connections are made beside the caller, which waits for them at most that long. Safe from any
// thread.
BusReply busCall(const BusCall& call);

// A referenced open connection to the bus (unref it when done), made as busCall makes it: null
// when the bus is absent or the connection is not made within timeoutMs. Safe from any thread.
GDBusConnection* busConnection(Bus bus, int timeoutMs);

}  // namespace qcu::x11
