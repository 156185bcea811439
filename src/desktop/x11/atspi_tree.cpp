#include "desktop/x11/atspi_tree.h"

#include <atspi/atspi-constants.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

#include "desktop/x11/atspi_bus.h"
#include "desktop/x11/atspi_tables.h"

namespace qcu::x11::atspi {
namespace {

std::atomic<std::uint64_t> callCount{0};
std::atomic<std::uint64_t> servedCount{0};

SteadyTime now() {
  return std::chrono::steady_clock::now();
}

Call callOf(const Ref& ref, const char* interface, const char* method, Variant arguments,
            const char* replyType) {
  return Call{ref.bus, ref.path, interface, method, std::move(arguments), replyType};
}

std::vector<Ref> refsOf(GVariant* list) {
  std::vector<Ref> refs;
  GVariantIter iter;
  g_variant_iter_init(&iter, list);
  const char* bus = nullptr;
  const char* path = nullptr;
  while (g_variant_iter_next(&iter, "(&s&o)", &bus, &path))
    refs.push_back(Ref{bus, path});
  return refs;
}

std::string stringIn(GVariant* dictionary, const char* key) {
  const char* value = nullptr;
  if (g_variant_lookup(dictionary, key, "&s", &value) && value) return value;
  return {};
}

void readProperties(GVariant* reply, Facts& facts) {
  GVariant* dictionary = g_variant_get_child_value(reply, 0);
  facts.name = stringIn(dictionary, "Name");
  facts.description = stringIn(dictionary, "Description");
  facts.accessibleId = stringIn(dictionary, "AccessibleId");
  const char* help = nullptr;
  if (g_variant_lookup(dictionary, "HelpText", "&s", &help) && help) facts.helpText = help;
  g_variant_unref(dictionary);
}

void readAttributes(GVariant* reply, Facts& facts) {
  GVariant* dictionary = g_variant_get_child_value(reply, 0);
  GVariantIter iter;
  g_variant_iter_init(&iter, dictionary);
  const char* key = nullptr;
  const char* value = nullptr;
  while (g_variant_iter_next(&iter, "{&s&s}", &key, &value))
    facts.attributes[key] = value;
  g_variant_unref(dictionary);
}

// Extents that describe a rectangle on the screen: toolkits give nonsense (INT_MIN, negative
// sizes) for elements that are not laid out.
std::optional<Rect> extentsOf(GVariant* reply) {
  gint32 x = 0, y = 0, width = 0, height = 0;
  g_variant_get(reply, "((iiii))", &x, &y, &width, &height);
  if (x == INT_MIN || y == INT_MIN || width < 0 || height < 0) return std::nullopt;
  return Rect{static_cast<double>(x), static_cast<double>(y), static_cast<double>(width),
              static_cast<double>(height)};
}

// One stage: the calls of the given columns for every element that should be asked, all in
// flight at once, and their replies read into the facts.
struct Planned {
  std::size_t element;
  Column column;
};

bool shouldAsk(const Facts& facts, Column column) {
  switch (column) {
    case EXTENTS:
      return facts.hasState(ATSPI_STATE_SHOWING);
    case TEXT:
      return textIsValue(facts.role);
    case NUMBER:
      return hasNumericValue(facts.role);
    default:
      return true;
  }
}

Call planCall(const Ref& ref, Column column) {
  switch (column) {
    case ROLE:
      return callOf(ref, ACCESSIBLE_INTERFACE, "GetRole", nullptr, "(u)");
    case STATE:
      return callOf(ref, ACCESSIBLE_INTERFACE, "GetState", nullptr, "(au)");
    case PROPS:
      return callOf(ref, PROPERTIES, "GetAll", own(g_variant_new("(s)", ACCESSIBLE_INTERFACE)),
                    "(a{sv})");
    case ATTRIBUTES:
      return callOf(ref, ACCESSIBLE_INTERFACE, "GetAttributes", nullptr, "(a{ss})");
    case IFACES:
      return callOf(ref, ACCESSIBLE_INTERFACE, "GetInterfaces", nullptr, "(as)");
    case EXTENTS:
      return callOf(ref, COMPONENT_INTERFACE, "GetExtents",
                    own(g_variant_new("(u)", static_cast<guint32>(ATSPI_COORD_TYPE_SCREEN))),
                    "((iiii))");
    case ACTIONS:
      return callOf(ref, ACTION_INTERFACE, "GetActions", nullptr, "(a(sss))");
    case TEXT:
      return callOf(ref, TEXT_INTERFACE, "GetText", own(g_variant_new("(ii)", 0, -1)), "(s)");
    case NUMBER:
      return callOf(ref, PROPERTIES, "Get",
                    own(g_variant_new("(ss)", VALUE_INTERFACE, "CurrentValue")), "(v)");
    default:
      return callOf(ref, ACCESSIBLE_INTERFACE, "GetChildren", nullptr, "(a(so))");
  }
}

// Empties a column's value before it is fetched again.
void clearColumn(Facts& facts, Column column) {
  facts.have &= ~bit(column);
  facts.failed &= ~bit(column);
  switch (column) {
    case ROLE:
      facts.role = 0;
      break;
    case STATE:
      facts.states = 0;
      break;
    case PROPS:
      facts.name.clear();
      facts.description.clear();
      facts.accessibleId.clear();
      facts.helpText.reset();
      break;
    case ATTRIBUTES:
      facts.attributes.clear();
      break;
    case IFACES:
      facts.interfaces.clear();
      break;
    case EXTENTS:
      facts.extents.reset();
      break;
    case ACTIONS:
      facts.actions.clear();
      break;
    case TEXT:
      facts.text.reset();
      break;
    case NUMBER:
      facts.number.reset();
      break;
    default:
      facts.children.clear();
      break;
  }
}

void readReply(GVariant* reply, Column column, Facts& facts) {
  switch (column) {
    case ROLE:
      g_variant_get(reply, "(u)", &facts.role);
      break;
    case STATE: {
      GVariant* words = g_variant_get_child_value(reply, 0);
      gsize count = 0;
      const auto* bits =
          static_cast<const guint32*>(g_variant_get_fixed_array(words, &count, sizeof(guint32)));
      facts.states = 0;
      for (gsize i = 0; i < count && i < 2; ++i)
        facts.states |= static_cast<std::uint64_t>(bits[i]) << (32 * i);
      g_variant_unref(words);
      break;
    }
    case PROPS:
      readProperties(reply, facts);
      break;
    case ATTRIBUTES:
      readAttributes(reply, facts);
      break;
    case IFACES: {
      GVariant* names = g_variant_get_child_value(reply, 0);
      gsize count = 0;
      const gchar** list = g_variant_get_strv(names, &count);
      facts.interfaces.assign(list, list + count);
      g_free(list);
      g_variant_unref(names);
      break;
    }
    case EXTENTS:
      facts.extents = extentsOf(reply);
      break;
    case ACTIONS: {
      GVariant* list = g_variant_get_child_value(reply, 0);
      GVariantIter iter;
      g_variant_iter_init(&iter, list);
      const char* name = nullptr;
      while (g_variant_iter_next(&iter, "(&s&s&s)", &name, nullptr, nullptr))
        facts.actions.emplace_back(name);
      g_variant_unref(list);
      break;
    }
    case TEXT: {
      const char* text = nullptr;
      g_variant_get(reply, "(&s)", &text);
      facts.text = text ? text : "";
      break;
    }
    case NUMBER: {
      GVariant* boxed = nullptr;
      g_variant_get(reply, "(v)", &boxed);
      if (g_variant_is_of_type(boxed, G_VARIANT_TYPE_DOUBLE))
        facts.number = g_variant_get_double(boxed);
      g_variant_unref(boxed);
      break;
    }
    default: {
      GVariant* list = g_variant_get_child_value(reply, 0);
      facts.children = refsOf(list);
      g_variant_unref(list);
      break;
    }
  }
}

void runStage(const std::vector<Ref>& refs, std::vector<Facts>& facts,
              const std::vector<std::size_t>& which, unsigned columns) {
  std::vector<Planned> plan;
  std::vector<Call> calls;
  const SteadyTime sent = now();
  for (std::size_t element : which) {
    Facts& f = facts[element];
    for (unsigned c = 0; c < COLUMN_COUNT; ++c) {
      const auto column = static_cast<Column>(c);
      if (!(columns & bit(column)) || (f.have & bit(column))) continue;
      f.have |= bit(column);
      f.fetched[column] = sent;
      if (!shouldAsk(f, column)) continue;
      plan.push_back({element, column});
      calls.push_back(planCall(refs[element], column));
    }
  }
  if (calls.empty()) return;
  callCount += calls.size();
  std::vector<Variant> replies = callAll(calls);
  for (std::size_t i = 0; i < plan.size(); ++i) {
    Facts& f = facts[plan[i].element];
    if (replies[i]) {
      readReply(replies[i].get(), plan[i].column, f);
    } else {
      f.failed |= bit(plan[i].column);
    }
  }
}

// Columns that decide whether another column is asked at all.
unsigned prerequisites(unsigned columns) {
  unsigned needed = 0;
  if (columns & bit(EXTENTS)) needed |= bit(STATE);
  if (columns & (bit(TEXT) | bit(NUMBER))) needed |= bit(ROLE);
  return needed;
}

bool young(const Facts& facts, Column column, SteadyTime at) {
  return (facts.have & bit(column)) && at - facts.fetched[column] <= SNAPSHOT_MAX_AGE;
}

// The requested columns the element has no young value of.
unsigned staleColumns(const Facts& facts, unsigned columns, SteadyTime at) {
  unsigned stale = 0;
  for (unsigned c = 0; c < COLUMN_COUNT; ++c) {
    const auto column = static_cast<Column>(c);
    if ((columns & bit(column)) && !young(facts, column, at)) stale |= bit(column);
  }
  return stale;
}

// Thread serials are never reused, unlike thread ids.
std::atomic<std::uint64_t> nextThreadSerial{1};
struct ThreadWalks {
  std::uint64_t serial = nextThreadSerial++;
  std::uint64_t newest = 0;  // the serial of the newest snapshot this thread made
};
thread_local ThreadWalks walks;

bool serves(const Snapshot& snapshot) {
  return snapshot.owner == walks.serial && snapshot.serial == walks.newest;
}

// Adds elements as a new level of the snapshot; their indices.
std::vector<std::size_t> addLevel(Snapshot& snapshot, std::size_t count) {
  std::vector<std::size_t> added(count);
  const std::size_t level = snapshot.levels.size();
  for (std::size_t i = 0; i < count; ++i) {
    added[i] = snapshot.refs.size() + i;
    snapshot.levelOf.push_back(level);
  }
  snapshot.refs.resize(snapshot.refs.size() + count);
  snapshot.facts.resize(snapshot.facts.size() + count);
  snapshot.childIndices.resize(snapshot.childIndices.size() + count);
  snapshot.levels.push_back(added);
  return added;
}

// Adds the children of the element and of the elements after it in its level whose young child
// lists are known, as one new level with what a walk reads of them: a walk that goes breadth
// first asks for these lists one after another. At most SNAPSHOT_LEVEL_BATCH elements are
// added, but always the element's own children.
void expandLevel(Snapshot& snapshot, std::size_t index, SteadyTime at) {
  const std::vector<std::size_t> level = snapshot.levels[snapshot.levelOf[index]];
  auto from = std::find(level.begin(), level.end(), index);
  std::vector<std::size_t> parents;
  std::size_t total = 0;
  for (auto it = from; it != level.end(); ++it) {
    const Facts& facts = snapshot.facts[*it];
    if (snapshot.childIndices[*it] || !facts.has(CHILDREN) || !young(facts, CHILDREN, at)) continue;
    if (!parents.empty() && total + facts.children.size() > SNAPSHOT_LEVEL_BATCH) break;
    parents.push_back(*it);
    total += facts.children.size();
  }
  std::vector<std::size_t> added = addLevel(snapshot, total);
  std::size_t next = 0;
  for (std::size_t parent : parents) {
    std::vector<std::size_t> indices;
    for (const Ref& child : snapshot.facts[parent].children) {
      snapshot.refs[added[next]] = child;
      indices.push_back(added[next++]);
    }
    snapshot.childIndices[parent] = std::move(indices);
  }
  fetchColumns(snapshot.refs, snapshot.facts, added, WALKED);
}

std::vector<AXElement> handlesOf(const std::shared_ptr<Snapshot>& snapshot,
                                 const std::vector<std::size_t>& indices) {
  std::vector<AXElement> handles;
  handles.reserve(indices.size());
  for (std::size_t index : indices)
    handles.push_back(makeElement(snapshot->refs[index], snapshot, index));
  return handles;
}

std::vector<AXElement> liveHandles(const std::vector<Ref>& refs) {
  std::vector<AXElement> handles;
  handles.reserve(refs.size());
  for (const Ref& ref : refs)
    handles.push_back(makeElement(ref));
  return handles;
}

}  // namespace

bool Facts::hasInterface(const char* interface) const {
  return std::find(interfaces.begin(), interfaces.end(), interface) != interfaces.end();
}

AXElement makeElement(Ref ref, std::shared_ptr<Snapshot> snapshot, std::size_t index) {
  auto element = std::make_shared<Element>();
  element->ref = std::move(ref);
  element->snapshot = std::move(snapshot);
  element->index = index;
  return AXElement{std::static_pointer_cast<void>(element)};
}

const Element* elementOf(const AXElement& handle) {
  return static_cast<const Element*>(handle.ref.get());
}

void fetchColumns(const std::vector<Ref>& refs, std::vector<Facts>& facts,
                  const std::vector<std::size_t>& which, unsigned columns) {
  const unsigned first = prerequisites(columns);
  // Whatever does not depend on another column goes out with the prerequisites.
  const unsigned dependent = bit(EXTENTS) | bit(TEXT) | bit(NUMBER);
  runStage(refs, facts, which, first | (columns & ~dependent));
  if (columns & dependent) runStage(refs, facts, which, columns);
}

Facts factsOf(const Element& element, unsigned columns) {
  const SteadyTime at = now();
  if (element.snapshot && serves(*element.snapshot)) {
    Snapshot& snapshot = *element.snapshot;
    const unsigned stale = staleColumns(snapshot.facts[element.index], columns, at);
    const unsigned missing = stale & ~snapshot.facts[element.index].have;
    if (missing) {
      // A column first asked: fetched for the element's whole level, since the walk will ask
      // the same of the others.
      fetchColumns(snapshot.refs, snapshot.facts, snapshot.levels[snapshot.levelOf[element.index]],
                   missing);
    }
    if (const unsigned old = staleColumns(snapshot.facts[element.index], columns, at)) {
      // A value grown old while the walk went on: read again for this element alone, so that a
      // slow application costs a walk its live reads and never a level's worth each time.
      Facts& facts = snapshot.facts[element.index];
      const unsigned clear = old | staleColumns(facts, prerequisites(old), at);
      for (unsigned c = 0; c < COLUMN_COUNT; ++c) {
        if (clear & bit(static_cast<Column>(c))) clearColumn(facts, static_cast<Column>(c));
      }
      fetchColumns(snapshot.refs, snapshot.facts, {element.index}, old);
    }
    if (!stale) ++servedCount;
    return snapshot.facts[element.index];
  }
  std::vector<Facts> one(1);
  fetchColumns({element.ref}, one, {0}, columns);
  return std::move(one[0]);
}

std::optional<std::vector<AXElement>> childrenOf(const Element& element) {
  const SteadyTime at = now();
  if (element.snapshot && serves(*element.snapshot)) {
    Snapshot& snapshot = *element.snapshot;
    const std::size_t index = element.index;
    const bool expanded = snapshot.childIndices[index].has_value();
    if (young(snapshot.facts[index], CHILDREN, at)) {
      ++servedCount;
    } else {
      // Grown old while the walk went on: read again for this element alone.
      clearColumn(snapshot.facts[index], CHILDREN);
      fetchColumns(snapshot.refs, snapshot.facts, {index}, bit(CHILDREN));
    }
    const Facts& facts = snapshot.facts[index];
    if (!facts.has(CHILDREN)) return std::nullopt;
    if (expanded) {
      const std::vector<std::size_t>& indices = *snapshot.childIndices[index];
      bool same = indices.size() == facts.children.size();
      for (std::size_t i = 0; same && i < indices.size(); ++i)
        same = snapshot.refs[indices[i]] == facts.children[i];
      if (same) return handlesOf(element.snapshot, indices);
      // The list changed since the level was added: handles that read live.
      return liveHandles(facts.children);
    }
    if (facts.children.size() > SNAPSHOT_MAX_LEVEL) return liveHandles(facts.children);
    expandLevel(snapshot, index, now());
    return handlesOf(element.snapshot, *snapshot.childIndices[index]);
  }
  // A walk starts here: a new snapshot, the thread's newest.
  auto snapshot = std::make_shared<Snapshot>();
  snapshot->owner = walks.serial;
  snapshot->serial = ++walks.newest;
  const std::size_t root = addLevel(*snapshot, 1)[0];
  snapshot->refs[root] = element.ref;
  fetchColumns(snapshot->refs, snapshot->facts, {root}, bit(CHILDREN));
  const Facts& facts = snapshot->facts[root];
  if (!facts.has(CHILDREN)) return std::nullopt;
  if (facts.children.size() > SNAPSHOT_MAX_LEVEL) return liveHandles(facts.children);
  expandLevel(*snapshot, root, at);
  return handlesOf(snapshot, *snapshot->childIndices[root]);
}

Counters counters() {
  return Counters{callCount.load(), servedCount.load()};
}

}  // namespace qcu::x11::atspi
