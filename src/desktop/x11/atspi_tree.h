// Accessible elements of the accessibility bus and what is known of them.
//
// An element is named by its connection's unique bus name and its object path; both are never
// reused for another object while the bus runs. Reading its facts costs one D-Bus round trip
// per kind of fact, so facts are fetched for many elements at once where a caller will want
// them (see prefetch below), and otherwise one element at a time, live.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desktop/platform.h"

namespace qcu::x11::atspi {

using SteadyTime = std::chrono::steady_clock::time_point;

// What can be known of an element, one D-Bus call each.
enum Column : unsigned {
  ROLE,      // GetRole
  STATE,     // GetState
  PROPS,     // the Accessible properties: name, description, child count, ids, attributes
  IFACES,    // GetInterfaces
  EXTENTS,   // Component.GetExtents on the screen, asked only of showing elements
  ACTIONS,   // Action.GetActions, asked only of elements with the Action interface
  TEXT,      // Text.GetText of the whole text, asked only where the text is the value
  NUMBER,    // Value.CurrentValue, asked only of elements with the Value interface
  CHILDREN,  // GetChildren
  COLUMN_COUNT
};
constexpr unsigned bit(Column column) {
  return 1u << column;
}
// What nearly every reader wants: fetched for every element of a prefetch.
inline constexpr unsigned CORE = bit(ROLE) | bit(STATE) | bit(PROPS);

struct Ref {
  std::string bus;
  std::string path;
  bool operator==(const Ref&) const = default;
};

struct Facts {
  unsigned have = 0;  // columns asked for (a failed call leaves its value empty)
  std::uint32_t role = 0;
  std::uint64_t states = 0;
  std::string name;
  std::string description;
  std::string accessibleId;
  std::optional<std::string> helpText;  // only where the bridge has the property
  std::map<std::string, std::string> attributes;
  bool attributesMissing = false;  // the properties came without them
  std::int32_t childCount = 0;
  std::vector<std::string> interfaces;
  std::optional<Rect> extents;
  std::vector<std::string> actions;
  std::optional<std::string> text;
  std::optional<double> number;
  std::vector<Ref> children;
  // Columns whose call failed or timed out.
  unsigned failed = 0;

  bool has(Column column) const { return (have & bit(column)) && !(failed & bit(column)); }
  bool hasState(unsigned state) const { return state < 64 && ((states >> state) & 1u); }
  bool hasInterface(const char* name) const;
};

// Elements whose facts were fetched together. A snapshot serves only the walk that made it: the
// thread that made it, while it is the newest snapshot that thread made and young. Every walk
// starts from a handle with no snapshot (a window or application element, or a stored element),
// whose child list is read live and starts a new snapshot, so nothing a walk reads is older than
// the walk; a stored element read later, on another thread or after another walk, reads live.
struct Snapshot {
  std::uint64_t owner = 0;   // the serial of the thread that made it
  std::uint64_t serial = 0;  // its own serial on that thread
  SteadyTime made;
  std::vector<Ref> refs;
  std::vector<Facts> facts;
  // Per element, the snapshot indices of its children once they are in the snapshot too.
  std::vector<std::optional<std::vector<std::size_t>>> childIndices;
};

// What an AXElement holds.
struct Element {
  Ref ref;
  std::shared_ptr<Snapshot> snapshot;
  std::size_t index = 0;
};

AXElement makeElement(Ref ref, std::shared_ptr<Snapshot> snapshot = nullptr, std::size_t index = 0);
const Element* elementOf(const AXElement& handle);

// The facts of the given columns: from the element's snapshot where it may serve them (fetching
// a missing column there for the whole snapshot at once), else fetched live for this element.
Facts factsOf(const Element& element, unsigned columns);

// The element's children as handles. When the element's snapshot holds them, or can add them
// with the rest of their level, they come from it; otherwise the list is read live and starts a
// new snapshot with the children's core facts, and their own child lists when walking (the
// caller goes on down the tree). None when the list cannot be read.
std::optional<std::vector<AXElement>> childrenOf(const Element& element, bool walking);

// Fetches the columns for the given elements, all calls of one stage in flight at once.
void fetchColumns(const std::vector<Ref>& refs, std::vector<Facts>& facts,
                  const std::vector<std::size_t>& which, unsigned columns);

// The age up to which a snapshot serves its facts.
inline constexpr auto SNAPSHOT_MAX_AGE = std::chrono::milliseconds(300);
// The most elements one snapshot fetches.
inline constexpr std::size_t SNAPSHOT_MAX_ELEMENTS = 640;

// Counts of D-Bus calls made and of facts served from snapshots, for tests and benchmarks.
struct Counters {
  std::uint64_t calls = 0;
  std::uint64_t served = 0;
};
Counters counters();

}  // namespace qcu::x11::atspi
