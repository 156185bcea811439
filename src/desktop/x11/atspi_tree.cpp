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
  gint32 count = 0;
  if (g_variant_lookup(dictionary, "ChildCount", "i", &count)) facts.childCount = count;
  GVariant* attributes = g_variant_lookup_value(dictionary, "Attributes", G_VARIANT_TYPE("a{ss}"));
  if (attributes) {
    GVariantIter iter;
    g_variant_iter_init(&iter, attributes);
    const char* key = nullptr;
    const char* value = nullptr;
    while (g_variant_iter_next(&iter, "{&s&s}", &key, &value))
      facts.attributes[key] = value;
    g_variant_unref(attributes);
  } else {
    // Older bridges leave the attributes out of the properties: asked for separately.
    facts.attributesMissing = true;
  }
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
      return facts.hasState(ATSPI_STATE_SHOWING) && facts.hasInterface(COMPONENT_INTERFACE);
    case ACTIONS:
      return facts.hasInterface(ACTION_INTERFACE);
    case TEXT:
      return facts.hasInterface(TEXT_INTERFACE) && textIsValue(facts.role, facts.states);
    case NUMBER:
      return facts.hasInterface(VALUE_INTERFACE);
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
  for (std::size_t element : which) {
    Facts& f = facts[element];
    for (unsigned c = 0; c < COLUMN_COUNT; ++c) {
      const auto column = static_cast<Column>(c);
      if (!(columns & bit(column)) || (f.have & bit(column))) continue;
      f.have |= bit(column);
      if (!shouldAsk(f, column)) continue;
      plan.push_back({element, column});
      calls.push_back(planCall(refs[element], column));
    }
  }
  if (calls.empty()) return;
  callCount += calls.size();
  std::vector<Variant> replies = callAll(calls);
  std::vector<std::size_t> attributesMissing;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    Facts& f = facts[plan[i].element];
    if (!replies[i]) {
      f.failed |= bit(plan[i].column);
      continue;
    }
    readReply(replies[i].get(), plan[i].column, f);
    if (plan[i].column == PROPS && f.attributesMissing)
      attributesMissing.push_back(plan[i].element);
  }
  if (attributesMissing.empty()) return;
  calls.clear();
  for (std::size_t element : attributesMissing)
    calls.push_back(
        callOf(refs[element], ACCESSIBLE_INTERFACE, "GetAttributes", nullptr, "(a{ss})"));
  callCount += calls.size();
  replies = callAll(calls);
  for (std::size_t i = 0; i < attributesMissing.size(); ++i) {
    if (replies[i]) {
      readAttributes(replies[i].get(), facts[attributesMissing[i]]);
    } else {
      facts[attributesMissing[i]].failed |= bit(PROPS);
    }
  }
}

// Columns that decide whether another column is asked at all.
unsigned prerequisites(unsigned columns) {
  unsigned needed = 0;
  if (columns & bit(EXTENTS)) needed |= bit(STATE) | bit(IFACES);
  if (columns & bit(ACTIONS)) needed |= bit(IFACES);
  if (columns & bit(TEXT)) needed |= bit(IFACES) | bit(ROLE) | bit(STATE);
  if (columns & bit(NUMBER)) needed |= bit(IFACES);
  return needed;
}

// Thread serials are never reused, unlike thread ids.
std::atomic<std::uint64_t> nextThreadSerial{1};
struct ThreadWalks {
  std::uint64_t serial = nextThreadSerial++;
  std::uint64_t newest = 0;  // the serial of the newest snapshot this thread made
};
thread_local ThreadWalks walks;

bool serves(const Snapshot& snapshot) {
  return snapshot.owner == walks.serial && snapshot.serial == walks.newest &&
         now() - snapshot.made <= SNAPSHOT_MAX_AGE;
}

std::shared_ptr<Snapshot> newSnapshot(const Ref& root) {
  auto snapshot = std::make_shared<Snapshot>();
  snapshot->owner = walks.serial;
  snapshot->serial = ++walks.newest;
  snapshot->made = now();
  snapshot->refs.push_back(root);
  snapshot->facts.emplace_back();
  snapshot->childIndices.emplace_back();
  return snapshot;
}

// Adds the children of every element whose child list is known but not yet in the snapshot, with
// their core facts and their own child lists, all in one stage. A walk that goes breadth first
// reaches these lists a level at a time, so each stage is the next level of the walk. False
// when nothing could be added within the size limit.
bool expandFrontier(Snapshot& snapshot) {
  std::vector<std::size_t> added;
  for (std::size_t parent = 0; parent < snapshot.refs.size(); ++parent) {
    if (snapshot.childIndices[parent] || !snapshot.facts[parent].has(CHILDREN)) continue;
    const std::vector<Ref> children = snapshot.facts[parent].children;
    // A partly known child list is no child list: a walk would miss elements.
    if (snapshot.refs.size() + children.size() > SNAPSHOT_MAX_ELEMENTS) break;
    std::vector<std::size_t> indices;
    for (const Ref& child : children) {
      indices.push_back(snapshot.refs.size());
      added.push_back(snapshot.refs.size());
      snapshot.refs.push_back(child);
      snapshot.facts.emplace_back();
      snapshot.childIndices.emplace_back();
    }
    snapshot.childIndices[parent] = std::move(indices);
  }
  if (added.empty()) return false;
  fetchColumns(snapshot.refs, snapshot.facts, added, CORE | bit(CHILDREN));
  return true;
}

std::vector<AXElement> handlesOf(const std::shared_ptr<Snapshot>& snapshot,
                                 const std::vector<std::size_t>& indices) {
  std::vector<AXElement> handles;
  handles.reserve(indices.size());
  for (std::size_t index : indices)
    handles.push_back(makeElement(snapshot->refs[index], snapshot, index));
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
  const unsigned independent = columns & ~(bit(EXTENTS) | bit(ACTIONS) | bit(TEXT) | bit(NUMBER));
  runStage(refs, facts, which, first | independent);
  if (columns & ~(first | independent)) runStage(refs, facts, which, columns);
}

Facts factsOf(const Element& element, unsigned columns) {
  if (element.snapshot && serves(*element.snapshot)) {
    Snapshot& snapshot = *element.snapshot;
    Facts& facts = snapshot.facts[element.index];
    const unsigned missing = columns & ~facts.have;
    if (missing) {
      // A column first wanted for one element is fetched for all of them: the caller is
      // walking the snapshot and will want it for the others too.
      std::vector<std::size_t> all(snapshot.refs.size());
      for (std::size_t i = 0; i < all.size(); ++i)
        all[i] = i;
      fetchColumns(snapshot.refs, snapshot.facts, all, missing);
    } else {
      ++servedCount;
    }
    return snapshot.facts[element.index];
  }
  std::vector<Facts> one(1);
  fetchColumns({element.ref}, one, {0}, columns);
  return std::move(one[0]);
}

std::optional<std::vector<AXElement>> childrenOf(const Element& element, bool walking) {
  if (element.snapshot && serves(*element.snapshot)) {
    Snapshot& snapshot = *element.snapshot;
    if (!snapshot.childIndices[element.index] && snapshot.facts[element.index].has(CHILDREN)) {
      expandFrontier(snapshot);
    }
    if (const auto& indices = snapshot.childIndices[element.index]) {
      ++servedCount;
      return handlesOf(element.snapshot, *indices);
    }
  }
  auto snapshot = newSnapshot(element.ref);
  fetchColumns(snapshot->refs, snapshot->facts, {0}, bit(CHILDREN));
  const Facts& root = snapshot->facts[0];
  if (!root.has(CHILDREN)) return std::nullopt;
  if (root.children.size() >= SNAPSHOT_MAX_ELEMENTS) {
    // More children than one snapshot holds: plain handles, read live.
    std::vector<AXElement> children;
    for (const Ref& child : root.children)
      children.push_back(makeElement(child));
    return children;
  }
  std::vector<std::size_t> indices;
  for (const Ref& child : root.children) {
    indices.push_back(snapshot->refs.size());
    snapshot->refs.push_back(child);
    snapshot->facts.emplace_back();
    snapshot->childIndices.emplace_back();
  }
  snapshot->childIndices[0] = indices;
  fetchColumns(snapshot->refs, snapshot->facts, indices, CORE | (walking ? bit(CHILDREN) : 0u));
  return handlesOf(snapshot, indices);
}

Counters counters() {
  return Counters{callCount.load(), servedCount.load()};
}

}  // namespace qcu::x11::atspi
