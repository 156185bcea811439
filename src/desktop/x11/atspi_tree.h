// Accessible elements of the accessibility bus and what is known of them.
//
// An element is named by its connection's unique bus name and its object path; both are never
// reused for another object while the bus runs. Reading a fact of an element costs one D-Bus
// round trip, and the application answers them one at a time, so what a walk needs is fetched
// a level of the tree at a time with all calls of a level in flight at once (see Snapshot), and
// only the facts the caller asks for: a column first asked of one element of a level is fetched
// for its whole level, since a walk asks the same of every element.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desktop/platform.h"

namespace qcu::x11::atspi {

using SteadyTime = std::chrono::steady_clock::time_point;

// What can be known of an element, one D-Bus call each.
enum Column : unsigned {
  ROLE,        // GetRole
  STATE,       // GetState
  PROPS,       // the Accessible properties: name, description, accessible id, help text
  ATTRIBUTES,  // GetAttributes
  IFACES,      // GetInterfaces
  EXTENTS,     // Component.GetExtents on the screen, asked only of showing elements
  ACTIONS,     // Action.GetActions (an element without actions answers with an error)
  TEXT,        // Text.GetText of the whole text, asked only where the text is the value
  NUMBER,      // Value.CurrentValue, asked only of elements of a numeric role
  CHILDREN,    // GetChildren
  COLUMN_COUNT
};
constexpr unsigned bit(Column column) {
  return 1u << column;
}
// What a walk reads of every element it reaches: fetched for each level as it is added.
inline constexpr unsigned WALKED = bit(ROLE) | bit(STATE) | bit(CHILDREN);

struct Ref {
  std::string bus;
  std::string path;
  bool operator==(const Ref&) const = default;
};

struct Facts {
  unsigned have = 0;    // columns asked for
  unsigned failed = 0;  // columns whose call failed or timed out (their values are empty)
  std::array<SteadyTime, COLUMN_COUNT> fetched{};  // when each column's call was sent
  std::uint32_t role = 0;
  std::uint64_t states = 0;
  std::string name;
  std::string description;
  std::string accessibleId;
  std::optional<std::string> helpText;  // only where the bridge has the property
  std::map<std::string, std::string> attributes;
  std::vector<std::string> interfaces;
  std::optional<Rect> extents;
  std::vector<std::string> actions;
  std::optional<std::string> text;
  std::optional<double> number;
  std::vector<Ref> children;

  bool has(Column column) const { return (have & bit(column)) && !(failed & bit(column)); }
  bool hasState(unsigned state) const { return state < 64 && ((states >> state) & 1u); }
  bool hasInterface(const char* name) const;
};

// Elements fetched a level at a time for one walk. A snapshot serves only the walk that made
// it: the thread that made it, while it is the newest snapshot that thread made, and each value
// only while it is young. Every walk starts from a handle with no snapshot (a window or
// application element), whose child list is read live and starts a new snapshot, so nothing a
// walk reads is older than the walk; a stored element read by a later check, on another thread
// or after another walk, reads live.
struct Snapshot {
  std::uint64_t owner = 0;   // the serial of the thread that made it
  std::uint64_t serial = 0;  // its own serial on that thread
  std::vector<Ref> refs;
  std::vector<Facts> facts;
  // Per element, the snapshot indices of its children once they are in the snapshot too.
  std::vector<std::optional<std::vector<std::size_t>>> childIndices;
  std::vector<std::size_t> levelOf;              // per element
  std::vector<std::vector<std::size_t>> levels;  // the elements added together
};

// What an AXElement holds.
struct Element {
  Ref ref;
  std::shared_ptr<Snapshot> snapshot;
  std::size_t index = 0;
};

AXElement makeElement(Ref ref, std::shared_ptr<Snapshot> snapshot = nullptr, std::size_t index = 0);
const Element* elementOf(const AXElement& handle);

// The facts of the given columns: from the element's snapshot where it serves them (a column
// first asked there is fetched for the element's whole level at once, a value grown too old for
// the element alone), else fetched live for this element alone.
Facts factsOf(const Element& element, unsigned columns);

// The element's children as handles. When the element's snapshot serves its child list, they
// come from it, added with the rest of their level; otherwise the list is read live and starts
// a new snapshot. None when the list cannot be read.
std::optional<std::vector<AXElement>> childrenOf(const Element& element);

// Fetches the columns for the given elements, all calls of one stage in flight at once. Columns
// an element already has are kept.
void fetchColumns(const std::vector<Ref>& refs, std::vector<Facts>& facts,
                  const std::vector<std::size_t>& which, unsigned columns);

// The age up to which a snapshot serves a value: the longest any walk of the common code runs
// (an observation's deadline). Freshness comes from serving a walk only what it fetched itself;
// this bound only keeps a finished walk's values from a later read on its thread that starts no
// walk. A walk takes a few hundred milliseconds on an idle machine, but on a loaded one a level
// of 300 elements takes seconds, and re-reading what a shorter bound let grow old made such
// walks overrun their deadline.
inline constexpr auto SNAPSHOT_MAX_AGE = std::chrono::milliseconds(5000);
// The elements one level of a snapshot adds at most, unless a single child list is longer: a
// fingerprint's walk visits under a hundred elements, an observation's a few hundred, and a
// level's facts are fetched whole.
inline constexpr std::size_t SNAPSHOT_LEVEL_BATCH = 128;
// A child list longer than this is given as handles that read live: the common code's walks
// visit at most a few hundred elements.
inline constexpr std::size_t SNAPSHOT_MAX_LEVEL = 640;

// Counts of D-Bus calls made and of facts served from snapshots, for tests and benchmarks.
struct Counters {
  std::uint64_t calls = 0;
  std::uint64_t served = 0;
};
Counters counters();

}  // namespace qcu::x11::atspi
